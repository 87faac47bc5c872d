#include <gtest/gtest.h>

#include "capture.h"
#include "protocol/emit.h"
#include "protocol/messages.h"

namespace {

TEST(Emit, WritesAwkwardNamesOnOneLineThatDecodesBack) {
    const std::string names[] = {
        "say \"hi\"", "back\\slash", "two\nlines", "tab\there", "Café Ωmega 日本",
        std::string("nul\0byte", 8), "\x1f\x7f", "cr\r",
    };
    for (const auto& name : names) {
        std::string out = capture([&] { emit(portsReport({{1, name, -5}})); });
        ASSERT_FALSE(out.empty()) << name;
        EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
        EXPECT_EQ(out.find('\r'), std::string::npos) << out;
        Json back = Json::parse(out);
        EXPECT_EQ(back["ports"][0]["name"], name);
        EXPECT_EQ(back["ports"][0]["uid"], -5);
    }
}

TEST(Emit, WritesCompactJson) {
    EXPECT_EQ(capture([] { emit(portsReport({})); }), "{\"ports\":[]}\n");
    EXPECT_EQ(capture([] { emit(failureLine(-2)); }), "{\"error\":\"MIDI unavailable (-2)\"}\n");
}

TEST(Emit, WritesNothingForTextThatIsNotUtf8) {
    EXPECT_EQ(capture([] { emit(portsReport({{1, "bad \xff byte", 0}})); }), "");
    EXPECT_EQ(capture([] { emit(portsReport({{1, "cut \xc3", 0}})); }), "");
}

TEST(Messages, SendRepliesCarryErrorOnlyWhenFailed) {
    std::string error = "bad request";
    EXPECT_EQ(sendReply(7, nullptr), Json::parse(R"({"id":7,"ok":true})"));
    EXPECT_EQ(sendReply(-1, &error), Json::parse(R"({"id":-1,"ok":false,"error":"bad request"})"));
    EXPECT_EQ(failureLine(5)["error"], "MIDI unavailable (5)");
}

TEST(Messages, IntegersAreWholeNumbersInTheSigned64BitRange) {
    struct Case {
        const char* value;
        std::optional<std::int64_t> integer;
    } cases[] = {
        {"0", 0},
        {"-1", -1},
        {"9223372036854775807", INT64_MAX},
        {"-9223372036854775808", INT64_MIN},
        {"9223372036854775808", std::nullopt},
        {"18446744073709551615", std::nullopt},
        {"-9223372036854775809", std::nullopt},
        {"1e2", std::nullopt},
        {"144.0", std::nullopt},
        {"1.5", std::nullopt},
        {"true", std::nullopt},
        {"\"12\"", std::nullopt},
        {"null", std::nullopt},
        {"[1]", std::nullopt},
        {"{}", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(integerOf(Json::parse(c.value)), c.integer) << c.value;
}

TEST(Messages, ArraysOfIntegersAreTakenWhole) {
    Json request = Json::parse(R"({"a":[1,2,3],"b":[1,"2"],"c":[],"d":[1,null],"e":5})");
    EXPECT_NE(integersAt(request, "a"), nullptr);
    EXPECT_EQ(integersAt(request, "b"), nullptr);
    EXPECT_NE(integersAt(request, "c"), nullptr);
    EXPECT_EQ(integersAt(request, "d"), nullptr);
    EXPECT_EQ(integersAt(request, "e"), nullptr);
    EXPECT_EQ(integersAt(request, "f"), nullptr);
}

TEST(Messages, OnlyTheExactWordPortsIsTheCommand) {
    struct Case {
        const char* object;
        bool ports;
    } cases[] = {
        {R"({"cmd":"ports"})", true},
        {R"({"cmd":"ports","id":4})", true},
        {R"({"cmd":"Ports"})", false},
        {R"({"cmd":" ports"})", false},
        {R"({"cmd":"ports "})", false},
        {R"({"cmd":1})", false},
        {R"({"cmd":["ports"]})", false},
        {R"({"CMD":"ports"})", false},
        {R"({})", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isPortsCommand(Json::parse(c.object)), c.ports) << c.object;
}

}  // namespace
