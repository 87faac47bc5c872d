#include <gtest/gtest.h>

#include "json.h"

#include "allocation.h"
#include "capture.h"
#include "protocol/emit.h"
#include "protocol/messages.h"
#include "protocol/plain.h"

#include <boost/json/serialize.hpp>

#include <cstdint>
#include <limits>

namespace {

TEST(Emit, WritesAwkwardNamesOnOneLineThatDecodesBack) {
    const std::string names[] = {
        "say \"hi\"", "back\\slash", "two\nlines", "tab\there", "Café Ωmega 日本",
        std::string("nul\0byte", 8), "\x1f\x7f", "cr\r",
    };
    for (const auto& name : names) {
        std::string out = capture([&] { emit(portsReport({{name, -5}})); });
        ASSERT_FALSE(out.empty()) << name;
        EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
        EXPECT_EQ(out.find('\r'), std::string::npos) << out;
        Json back = parse(out);
        EXPECT_EQ(back.at("ports").at(0).at("name").get_string(), name);
        EXPECT_EQ(back.at("ports").at(0).at("uid"), -5);
    }
}

TEST(Emit, WritesCompactJson) {
    EXPECT_EQ(capture([] { emit(portsReport({})); }), "{\"ports\":[]}\n");
    EXPECT_EQ(capture([] { emit(failureLine(-2)); }), "{\"error\":\"MIDI unavailable (-2)\"}\n");
}

TEST(Emit, WritesNothingForTextThatIsNotUtf8) {
    struct Case {
        const char* name;
        bool written;
    } cases[] = {
        {"bad \xff byte", false},
        {"cut \xc3", false},
        {"cut at the end \xe2\x82", false},
        {"stray \x80 continuation", false},
        {"overlong \xc0\xaf", false},
        {"overlong \xe0\x80\xaf", false},
        {"surrogate \xed\xa0\x80", false},
        {"past U+10FFFF \xf4\x90\x80\x80", false},
        {"highest \xf4\x8f\xbf\xbf", true},
        {"three bytes \xe2\x82\xac and four \xf0\x9f\x8e\xb9", true},
        {"just below the surrogates \xed\x9f\xbf", true},
    };
    for (const auto& c : cases) {
        std::string out = capture([&] { emit(portsReport({{c.name, 0}})); });
        EXPECT_EQ(!out.empty(), c.written) << c.name;
    }
}

TEST(Messages, SendRepliesCarryErrorOnlyWhenFailed) {
    std::string error = "bad request";
    EXPECT_EQ(sendReply(7, nullptr), parse(R"({"id":7,"ok":true})"));
    EXPECT_EQ(sendReply(-1, &error), parse(R"({"id":-1,"ok":false,"error":"bad request"})"));
    EXPECT_EQ(failureLine(5).at("error").get_string(), "MIDI unavailable (5)");
}

// The reply of a send that went out is made by hand; it is the line the
// serialiser makes of the same reply, whatever the id.
TEST(Messages, TheOkLineIsTheSerialisedOkReply) {
    for (std::int64_t id : {std::int64_t{0}, std::int64_t{7}, std::int64_t{-1}, std::numeric_limits<std::int64_t>::min(),
                            std::numeric_limits<std::int64_t>::max()})
        EXPECT_EQ(okLine(id).line(), boost::json::serialize(sendReply(id, nullptr)) + "\n") << id;
}

// Each value read as an id and as the one element of "bytes".
TEST(Accept, IntegersAreWholeNumbersInTheSigned64BitRange) {
    const std::string digits401 = "1" + std::string(400, '0');
    struct Case {
        std::string value;
        std::optional<std::int64_t> integer;
    } cases[] = {
        {"0", 0},
        {"-0", 0},
        {"-1", -1},
        {"300", 300},
        {"9223372036854775807", INT64_MAX},
        {"-9223372036854775808", INT64_MIN},
        {"9223372036854775808", std::nullopt},
        {"18446744073709551615", std::nullopt},
        {"-9223372036854775809", std::nullopt},
        {digits401, std::nullopt},
        {"-" + digits401, std::nullopt},
        {"1e2", std::nullopt},
        {"144.0", std::nullopt},
        {"1.5", std::nullopt},
        {"1e400", std::nullopt},
        {"-1e400", std::nullopt},
        {"1e-400", std::nullopt},
        {"1e99999999999999999999", std::nullopt},
        {"2E-99999999999999999999", std::nullopt},
        {"true", std::nullopt},
        {"\"12\"", std::nullopt},
        {"null", std::nullopt},
        {"[1]", std::nullopt},
        {"{}", std::nullopt},
    };
    for (const auto& c : cases) {
        Request r = accepted(R"({"id":)" + c.value + R"(,"bytes":[)" + c.value + "]}");
        EXPECT_EQ(r.id, c.integer) << c.value;
        EXPECT_EQ(r.bytes.integers, c.integer.has_value()) << c.value;
        EXPECT_EQ(r.bytes.count, 1u) << c.value;
        if (c.integer) {
            EXPECT_EQ(r.bytes.first[0], static_cast<std::uint8_t>(*c.integer)) << c.value;
        }
    }
}

TEST(Accept, ReadsEachValueAsItsOneTypeAndTheLastOfARepeatedKey) {
    struct Case {
        const char* line;
        bool ports;
        std::optional<std::string> dest;
        bool integers;
        std::size_t count;
    } cases[] = {
        {R"({"cmd":"ports"})", true, {}, false, 0},
        {R"({"cmd":"Ports"})", false, {}, false, 0},
        {R"({"cmd":"portsx"})", false, {}, false, 0},
        {R"({"cmd":"ports","cmd":1})", false, {}, false, 0},
        {R"({"CMD":"ports","Dest":"a","BYTES":[1]})", false, {}, false, 0},
        {R"({"x":{"cmd":"ports","dest":"a","bytes":[1]}})", false, {}, false, 0},
        {R"({"dest":"a\u00e9\u0000b","bytes":[1,2,3]})", false, std::string("a\xc3\xa9\0b", 5), true, 3},
        {R"({"dest":5,"bytes":[]})", false, {}, true, 0},
        {R"({"dest":"a","dest":null,"bytes":[1,"2"]})", false, {}, false, 2},
        {R"({"bytes":[1,[2],3]})", false, {}, false, 3},
        {R"({"bytes":[1,{"a":[2]}]})", false, {}, false, 2},
        {R"({"bytes":{"0":1}})", false, {}, false, 0},
        {R"({"bytes":[1],"bytes":7})", false, {}, false, 0},
    };
    for (const auto& c : cases) {
        Request r = accepted(c.line);
        EXPECT_EQ(r.ports, c.ports) << c.line;
        EXPECT_EQ(r.dest, c.dest) << c.line;
        EXPECT_EQ(r.bytes.integers, c.integers) << c.line;
        EXPECT_EQ(r.bytes.count, c.count) << c.line;
    }
}

// Past the most that can be sent, elements are counted and not kept.
TEST(Accept, CountsEveryElementOfALongArray) {
    std::string line = R"({"bytes":[)";
    for (int i = 0; i < 100'000; ++i) line += std::to_string(i % 1000) + ",";
    line += "-1]}";
    Request r = accepted(line);
    EXPECT_TRUE(r.bytes.integers);
    EXPECT_EQ(r.bytes.count, 100'001u);
    EXPECT_EQ(r.bytes.first[255], 255);
}

// A value too large for the memory there is: the line is dropped, or
// answered as a bad request when its id has been read.
TEST(Accept, ALineThatDoesNotFitKeepsOnlyItsId) {
    const std::string big(100'000, 'x');
    const std::string first = R"({"id":7,"dest":")" + big + R"(","bytes":[1]})";
    const std::string after = R"({"dest":")" + big + R"(","id":7,"bytes":[1]})";
    std::optional<Request> idFirst, idAfter;
    {
        AllocationLimit limit(16 * 1024);
        idFirst = accept(first);
        idAfter = accept(after);
    }
    ASSERT_TRUE(idFirst);
    EXPECT_EQ(idFirst->id, 7);
    EXPECT_FALSE(idFirst->dest);
    EXPECT_FALSE(idFirst->ports);
    EXPECT_FALSE(idAfter);
}

TEST(Accept, NestingUpToItsLimit) {
    auto nested = [](int depth) { return std::string(depth - 1, '[') + std::string(depth - 1, ']'); };
    EXPECT_TRUE(accept("{\"a\":" + nested(maxDepth) + "}"));
    EXPECT_FALSE(accept("{\"a\":" + nested(maxDepth + 1) + "}"));
}

// The plain scan of the usual request shape reads each line as the parser
// would, and leaves every other line to it. The same line with a space after
// its opening brace, which the scan never takes, is the parser's reading.
TEST(Accept, ThePlainScanReadsAsTheParserDoes) {
    std::string many = R"({"id":1,"dest":"a","bytes":[)";
    for (int i = 0; i < 255; ++i) many += std::to_string(i * 7) + ",";
    const std::string full = many + "9]}";
    const std::string over = many + "9,10]}";
    struct Case {
        std::string line;
        bool plain;  // the scan takes it
    } cases[] = {
        {R"({"id":12,"dest":"Midi Through Port-0","bytes":[144,60,100]})", true},
        {R"({"bytes":[240,1,2,247],"dest":"Synth","id":0})", true},
        {R"({"id":1,"dest":"a","bytes":[300,256,255,0]})", true},
        {R"({"id":123456789012345678,"dest":"","bytes":[1]})", true},
        {R"({"cmd":"ports"})", true},
        {R"({"cmd":"portsx","id":3})", true},
        {R"({"dest":"a","cmd":"Ports"})", true},
        {R"({})", true},
        {full, true},
        {over, false},
        {R"({"id":1234567890123456789,"dest":"a","bytes":[1]})", false},
        {R"({"id":-1,"dest":"a","bytes":[-1]})", false},
        {R"({"id":1.5,"dest":"a","bytes":[1e2]})", false},
        {R"({"id":1,"id":2,"dest":"a","dest":"b","bytes":[1],"bytes":[2]})", false},
        {R"({"id":1,"dest":"a"bé","bytes":[1]})", false},
        {"{\"id\":1,\"dest\":\"Caf\xc3\xa9\",\"bytes\":[1]}", false},
        {R"({"id":1,"dest":"a","bytes":[]})", false},
        {R"({"id":1,"dest":"a","bytes":[1],"x":[2]})", false},
        {R"({"id":"1","dest":5,"bytes":[true],"cmd":null})", false},
        {"{\"id\":1,\"dest\":\"a\",\"bytes\":[1]}\r", false},
        // Not JSON at all, either way.
        {R"({"id":01,"dest":"a","bytes":[1]})", false},
        {R"({"id":1,"dest":"a","bytes":[1,]})", false},
        {R"({"id":1,"dest":"a","bytes":[1],})", false},
        {R"({"id":1,"dest":"a","bytes":[1]}})", false},
        {R"({"id":1,"dest":"a","bytes":[1]}x)", false},
        {R"({"id":1,"dest":"a","bytes":[1])", false},
        {R"({"id":1,"dest":"a","bytes":[1 2]})", false},
        {"{\"id\":1,\"dest\":\"a\x01\",\"bytes\":[1]}", false},
        {R"({"id":)", false},
        {"{", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        Request scanned;
        EXPECT_EQ(readPlain(c.line, scanned), c.plain);
        auto direct = accept(c.line);
        auto parsed = accept("{ " + c.line.substr(1));
        ASSERT_EQ(direct.has_value(), parsed.has_value());
        if (!direct) continue;
        EXPECT_EQ(direct->ports, parsed->ports);
        EXPECT_EQ(direct->id, parsed->id);
        EXPECT_EQ(direct->dest, parsed->dest);
        EXPECT_EQ(direct->bytes.integers, parsed->bytes.integers);
        ASSERT_EQ(direct->bytes.count, parsed->bytes.count);
        for (std::size_t i = 0; i < std::min(direct->bytes.count, maxBytes); ++i)
            EXPECT_EQ(direct->bytes.first[i], parsed->bytes.first[i]) << i;
    }
}

}  // namespace
