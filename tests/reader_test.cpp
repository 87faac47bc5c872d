// The bridge end to end: input lines in, output lines out, in a child process.

#include <gtest/gtest.h>

#include "json.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include <unistd.h>

#include "app/reader.h"
#include "allocation.h"
#include "child.h"
#include "midi/fake.h"
#include "protocol/emit.h"
#include "resident.h"

namespace {

const std::string synthReport = R"({"ports":[{"name":"Synth","uid":7}]})";

void oneSynth() { fake::world().endpoints = {fake::named(17, "Synth", 7)}; }

// Starts the bridge over one destination and takes its start-up report.
Child started(std::function<void()> script = oneSynth) {
    Child c = startBridge(std::move(script));
    EXPECT_EQ(c.line(), synthReport);
    return c;
}

std::string ok(std::int64_t id) { return dump(Json{{"id", id}, {"ok", true}}); }
std::string bad(std::int64_t id) { return dump(Json{{"id", id}, {"ok", false}, {"error", "bad request"}}); }

// Feeds input from another thread, so that a child's output can never fill
// its pipe while we are still writing.
struct Feeder {
    std::thread thread;
    Feeder(Child& c, std::string input, bool close)
        : thread([&c, input = std::move(input), close] {
              c.write(input);
              if (close) c.closeInput();
          }) {}
    ~Feeder() { thread.join(); }
};

TEST(Dispatch, RoutesOnlyTheExactPortsCommandToTheReport) {
    struct Case {
        const char* line;
        std::string answer;
    } cases[] = {
        {R"({"cmd":"ports"})", synthReport},
        {R"({"cmd":"ports","id":9})", synthReport},
        {R"({"cmd":"ports","dest":"Synth","bytes":[248]})", synthReport},
        {R"({"cmd":"Ports","id":1})", bad(1)},
        {R"({"cmd":" ports","id":2})", bad(2)},
        {R"({"cmd":7,"id":3})", bad(3)},
        {R"({"cmd":"play","id":4})", bad(4)},
        {R"({"id":5})", bad(5)},
        {R"({})", bad(0)},
        {R"({"cmd":"Ports","id":6,"dest":"Synth","bytes":[144,60,1]})", ok(6)},
        {R"({"cmd":null,"id":7,"dest":"Synth","bytes":[144,60,1]})", ok(7)},
    };
    Child c = started();
    for (const auto& k : cases) {
        c.write(std::string(k.line) + "\n");
        auto got = c.line();
        ASSERT_TRUE(got) << k.line;
        EXPECT_EQ(parse(*got), parse(k.answer)) << k.line;
    }
    EXPECT_EQ(c.line(200ms), std::nullopt);
}

// Lines that are not one JSON object are dropped without a trace; each is
// followed by a command that must get exactly its own answer.
TEST(Reader, DropsEveryLineThatIsNotOneJsonObject) {
    const std::string dropped[] = {
        "",
        "   ",
        "\t\r",
        "{",
        "}",
        "{\"cmd\":\"ports\"",
        "[{\"cmd\":\"ports\"}]",
        "\"ports\"",
        "42",
        "true",
        "null",
        "{\"cmd\":\"ports\"}{\"cmd\":\"ports\"}",
        "{\"cmd\":\"ports\"} {}",
        "{'cmd':'ports'}",
        "{cmd:\"ports\"}",
        "{\"cmd\":\"ports\",}",
        "// {\"cmd\":\"ports\"}",
        "{\"cmd\":\"ports\"} // note",
        std::string("{\"cmd\":\"ports\"}\0", 16),
        std::string("{\"cmd\":\"po\0rts\"}", 16),
        "{\"cmd\":\"ports\",\"x\":\"\xff\"}",
        "{\"cmd\":\"ports\",\"x\":\"\xc3\"}",
        "{\"cmd\":\"ports\",\"x\":\"\xed\xa0\x80\"}",  // an encoded surrogate
        "{\"cmd\":\"ports\",\"x\":\"\\ud800\"}",
        "{\"cmd\":\"ports\",\"x\":\"\\udc00\\ud800\"}",
        "{\"cmd\":\"ports\",\"x\":\"tab\tinside\"}",
        "{\"cmd\":\"ports\",\"x\":NaN}",
        "\xef\xbb\xbf\xef\xbb\xbf{\"cmd\":\"ports\"}",
    };
    Child c = started();
    std::int64_t id = 0;
    for (const auto& line : dropped) {
        ++id;
        c.write(line + "\n" + dump(Json{{"id", id}}) + "\n");
        EXPECT_EQ(c.line(), bad(id)) << testing::PrintToString(line);
    }
    EXPECT_EQ(c.line(200ms), std::nullopt);
}

// However large or odd its numbers, an object gets its answer, and the
// bridge goes on answering.
TEST(Reader, AnswersEveryObjectWhateverItsNumbers) {
    // Appended: GCC 12 warns falsely (-Wrestrict) on "1" + std::string in optimised builds.
    const std::string huge = std::string("1").append(400, '0');
    struct Case {
        std::string line;
        std::string answer;
    } cases[] = {
        {R"({"cmd":"ports","x":1e999})", synthReport},
        {R"({"cmd":"ports","x":[1e99999999999999999999,"e99999999999999999999"]})", synthReport},
        {R"({"id":1e400,"dest":"Synth","bytes":[248]})", ok(0)},
        {R"({"id":)" + huge + R"(,"dest":"Synth","bytes":[248]})", ok(0)},
        {R"({"id":-)" + huge + R"(,"dest":"Synth","bytes":[248]})", ok(0)},
        {R"({"id":1e99999999999999999999,"dest":"Synth","bytes":[248]})", ok(0)},
        {R"({"id":2,"dest":"Synth","bytes":[1e400]})", bad(2)},
        {R"({"id":3,"dest":"Synth","bytes":[)" + huge + "]}", bad(3)},
        {R"({"id":4,"dest":"Synth","bytes":[1E-99999999999999999999]})", bad(4)},
        {R"({"id":5,"dest":"Synth","bytes":[-0,248],"pad":1e400})", ok(5)},
    };
    Child c = started();
    for (const auto& k : cases) {
        c.write(k.line + "\n");
        EXPECT_EQ(c.line(), k.answer) << k.line.substr(0, 80);
    }
    c.write(R"({"id":6,"dest":"Synth","bytes":[248]})" "\n");
    EXPECT_EQ(c.line(), ok(6));
}

TEST(Reader, AcceptsCarriageReturnsByteOrderMarkAndRepeatedKeys) {
    Child c = started();
    c.write("{\"id\":1}\r\n");
    EXPECT_EQ(c.line(), bad(1));
    c.write("\xef\xbb\xbf{\"id\":2}\n");
    EXPECT_EQ(c.line(), bad(2));
    // The last of a repeated key counts.
    c.write(R"({"id":3,"id":4,"dest":"Nowhere","dest":"Synth","bytes":[248]})" "\n");
    EXPECT_EQ(c.line(), ok(4));
    c.write(R"({"cmd":"ports","cmd":"other","id":5})" "\n");
    EXPECT_EQ(c.line(), bad(5));
}

std::vector<std::string> taken;
void collect(std::string_view line) { taken.emplace_back(line); }

TEST(Reader, SplitsLinesAcrossReadsAndKeepsALastLineWithoutALineFeed) {
    struct Case {
        std::vector<std::string> writes;
        std::vector<std::string> lines;
    } cases[] = {
        {{"a\nb\n"}, {"a", "b"}},
        {{"a\r\nb"}, {"a\r", "b"}},
        {{"ab", "c\nd", "e"}, {"abc", "de"}},
        {{"\n\n"}, {"", ""}},
        {{std::string(200'000, 'x') + "\ny"}, {std::string(200'000, 'x'), "y"}},
        {{}, {}},
    };
    // Each write as one read of the input.
    auto readAll = [](const std::vector<std::string>& writes) {
        taken.clear();
        Lines lines;
        for (const auto& w : writes) split(lines, w, collect);
        end(lines, collect);
    };
    for (const auto& c : cases) {
        readAll(c.writes);
        EXPECT_EQ(taken, c.lines);
    }
    // A line that does not fit in memory is dropped whole, and the next is read.
    const std::string big(300'000, 'x');
    const std::vector<std::string> writes = {"a\n" + big.substr(0, 100'000), big, "\nb\n"};
    taken.reserve(4);
    {
        AllocationLimit limit(128 * 1024);
        readAll(writes);
    }
    EXPECT_EQ(taken, (std::vector<std::string>{"a", "b"}));
}

// Lines built to exhaust the stack or memory; each is followed by a request.
TEST(Reader, SurvivesHostileLinesAndGivesTheMemoryBack) {
    Child c = started();  // first, so that it does not inherit the lines below
    long before = residentKiB(c.pid);
    std::vector<std::pair<const char*, std::string>> hostile;
    hostile.emplace_back("a million [", std::string(1'000'000, '['));
    std::string nested;
    for (int i = 0; i < 1'000'000; ++i) nested += "{\"a\":";
    hostile.emplace_back("objects a million deep", nested);
    hostile.emplace_back("64 levels", std::string(64, '[') + std::string(64, ']'));
    std::string big = R"({"id":1,"dest":"Synth","bytes":[248],"pad":")" + std::string(100'000'000, 'x') + "\"}";
    std::int64_t id = 100;
    for (const auto& [what, line] : hostile) {
        Feeder feed(c, line + "\n" + dump(Json{{"id", ++id}}) + "\n", false);
        EXPECT_EQ(c.line(30s), bad(id)) << what;
    }
    {
        Feeder feed(c, big + "\n" + dump(Json{{"id", ++id}}) + "\n", false);
        EXPECT_EQ(c.line(60s), ok(1));
        EXPECT_EQ(c.line(30s), bad(id));
    }
    long after = residentKiB(c.pid);
    EXPECT_LT(after - before, 16 * 1024) << "the 100 MB line was not given back";
}

// Putting a run of combining marks in canonical order takes time that grows
// with the square of its length; a name far longer than any listed one is
// answered without it.
TEST(Reader, ALongRunOfCombiningMarksHoldsNothingUp) {
    Child c = started();
    std::string dest = "a";
    for (int i = 0; i < 40'000; ++i) dest += "\u0316\u0301\u0334";  // three classes, out of order
    c.write(R"({"id":1,"dest":")" + dest + R"(","bytes":[248]})" "\n" R"({"id":2,"dest":"Synth","bytes":[248]})" "\n");
    auto reply = c.line();
    ASSERT_TRUE(reply);
    std::string shown(parse("\"" + dest + "\"").get_string());
    EXPECT_EQ(parse(*reply).at("error").get_string(), shown + " is not connected");
    EXPECT_EQ(c.line(), ok(2));
}

TEST(Reader, AnswersInInputOrderWithSetupChangesBetween) {
    Child c = started([] {
        oneSynth();
        std::thread([] {
            // A notification before start-up registers its handler is lost.
            auto registered = [] {
                std::lock_guard held(fake::worldLock());
                return static_cast<bool>(fake::world().handler);
            };
            while (!registered()) std::this_thread::sleep_for(1ms);
            for (int i = 0; i < 50; ++i) {
                fake::notify(1);
                std::this_thread::sleep_for(1ms);
            }
        }).detach();
    });
    std::string input;
    for (int id = 1; id <= 200; ++id)
        input += id % 10 == 0 ? "{\"cmd\":\"ports\"}\n"
                              : dump(Json{{"id", id}, {"dest", "Synth"}, {"bytes", {144, 60, id % 128}}}) + "\n";
    Feeder feed(c, input, false);
    int next = 1;
    int reports = 0;
    while (next <= 200) {
        auto l = c.line();
        ASSERT_TRUE(l) << "waiting for the answer to line " << next;
        if (*l == synthReport) {
            ++reports;
            if (next % 10 == 0) ++next;  // the answer to this ports command, or a change before it
            continue;
        }
        while (next % 10 == 0) ++next;
        ASSERT_EQ(*l, ok(next));
        ++next;
    }
    // Twenty commands and fifty changes: every report is there, none twice.
    while (auto l = c.line(300ms)) {
        EXPECT_EQ(*l, synthReport);
        ++reports;
    }
    EXPECT_EQ(reports, 20 + 50);
}

// A host may write all its requests before it reads a reply: the input is
// taken in full even while the output is not read, and nothing is lost.
TEST(Reader, KeepsReadingWhileTheHostDoesNotRead) {
    const std::string name(2000, 'n');
    Child c = startBridge([&] { fake::world().endpoints = {fake::named(17, name, 7)}; });
    ASSERT_TRUE(c.line());
    std::string input;
    for (int i = 0; i < 2000; ++i)
        input += i % 2 ? "{\"cmd\":\"ports\"}\n" : dump(Json{{"id", i}, {"dest", name}, {"bytes", {248}}}) + "\n";
    std::atomic<bool> written{false};
    std::thread feed([&] {
        c.write(input);
        written = true;
    });
    for (int i = 0; i < 1000 && !written; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(written) << "the bridge stopped reading while its output was full";
    const std::string report = dump(Json{{"ports", {Json{{"name", name}, {"uid", 7}}}}});
    for (int i = 0; i < 2000; ++i) {
        auto l = c.line();
        ASSERT_TRUE(l) << i;
        ASSERT_EQ(*l, i % 2 ? report : ok(i)) << i;
    }
    feed.join();
}

std::string requests(int from, int count) {
    std::string text;
    for (int id = from; id < from + count; ++id)
        text += dump(Json{{"id", id}, {"dest", "Synth"}, {"bytes", {144, 60, 100}}}) + "\n";
    return text;
}

// The simplest host there is: each write must end before it reads. It writes
// a batch while reading nothing, reads half the replies, and writes another.
TEST(Reader, AHostThatPausesItsReadingNeverHoldsItsWritesUp) {
    constexpr int batch = 100'000;
    Child c = started();
    auto written = [&](std::string text) {
        std::atomic<bool> done{false};
        std::thread writer([&] {
            c.write(text);
            done = true;
        });
        for (int i = 0; i < 3000 && !done; ++i) std::this_thread::sleep_for(10ms);
        bool finished = done;
        if (!finished) {
            // Read on, so that the writer ends and the test can report.
            while (!done && c.line(1s)) {}
        }
        writer.join();
        return finished;
    };
    ASSERT_TRUE(written(requests(1, batch))) << "the first batch was not taken while the host read nothing";
    for (int id = 1; id <= batch / 2; ++id) ASSERT_EQ(c.line(), ok(id));
    ASSERT_TRUE(written(requests(batch + 1, batch))) << "the second batch was not taken while the host read nothing";
    for (int id = batch / 2 + 1; id <= 2 * batch; ++id) ASSERT_EQ(c.line(), ok(id));
    EXPECT_EQ(c.line(200ms), std::nullopt);
}

// Unread replies wait in the bridge's memory; the MIDI sends behind them go
// out all the same.
TEST(Reader, SendsGoOnWhileTheHostReadsNothing) {
    constexpr long count = 20'000;
    Child c = started();
    Feeder feed(c, requests(1, count), false);
    long sent = 0;
    for (auto deadline = std::chrono::steady_clock::now() + 20s; sent < count && std::chrono::steady_clock::now() < deadline;) {
        auto calls = c.calls();
        sent += std::count_if(calls.begin(), calls.end(), [](const std::string& l) { return l.rfind("send ", 0) == 0; });
    }
    EXPECT_EQ(sent, count) << "sends made before the host read a reply";
    for (int id = 1; id <= count; ++id) ASSERT_EQ(c.line(), ok(id));
}

TEST(Reader, AnswersAHundredThousandPipelinedRequestsInOrder) {
    Child c = started();
    std::string input;
    for (int id = 1; id <= 100'000; ++id)
        input += dump(Json{{"id", id}, {"dest", "Synth"}, {"bytes", {144, 60, 100}}}) + "\n";
    Feeder feed(c, input, false);
    for (int id = 1; id <= 100'000; ++id) ASSERT_EQ(c.line(), ok(id));
    EXPECT_EQ(c.line(200ms), std::nullopt);
}

TEST(EndOfInput, EndsPromptlyWhileTheMainThreadIsBusy) {
    Child c = started([] {
        oneSynth();
        // Every directory build after the start-up one is slow.
        fake::world().afterCount = [](fake::World& w) { w.countDelay = 3s; };
    });
    c.write(R"({"id":1,"dest":"Synth","bytes":[248]})" "\n" R"({"id":2,"dest":"Synth","bytes":[248]})" "\n");
    std::this_thread::sleep_for(100ms);
    c.closeInput();
    EXPECT_EQ(c.wait(1s), 0);
    EXPECT_EQ(c.rest(), "");
}

// A host that stopped reading leaves the main thread stuck in a write; the end
// of its input still ends the bridge.
TEST(EndOfInput, EndsEvenWhenTheHostStoppedReading) {
    Child c = startBridge([] { fake::world().endpoints = {fake::named(17, std::string(2000, 'n'), 7)}; });
    ASSERT_TRUE(c.line());  // the start-up report; nothing more is read from here on
    std::string commands;
    for (int i = 0; i < 200; ++i) commands += "{\"cmd\":\"ports\"}\n";
    c.write(commands);
    std::this_thread::sleep_for(300ms);
    c.closeInput();
    EXPECT_EQ(c.wait(2s), 0);
}

// Replies of pipelined requests may leave together; whatever moment the input
// ends at, no request that was carried out goes unanswered but the one that
// was being carried out then.
TEST(EndOfInput, EveryRequestCarriedOutIsAnswered) {
    std::string batch;
    for (int id = 1; id <= 300; ++id) batch += dump(Json{{"id", id}, {"dest", "Synth"}, {"bytes", {144, 60, 100}}}) + "\n";
    for (int run = 0; run < 100; ++run) {
        Child c = startBridge(oneSynth, batch);
        c.closeInput();
        auto out = lines(c.rest());
        ASSERT_EQ(c.wait(), 0) << "run " << run;
        auto calls = c.calls();
        auto sent = std::count_if(calls.begin(), calls.end(), [](const std::string& call) { return call.rfind("send ", 0) == 0; });
        const long replies = static_cast<long>(out.size()) - 1;  // after the start-up report
        ASSERT_GE(replies, sent - 1) << "run " << run << ": replies against requests carried out";
    }
}

// Whatever moment the input ends at, every line written is whole.
TEST(EndOfInput, NeverTearsALine) {
    std::string batch;
    for (int id = 1; id <= 64; ++id)
        batch += id % 8 == 0 ? "{\"cmd\":\"ports\"}\n"
                             : dump(Json{{"id", id}, {"dest", "Synth"}, {"bytes", {144, 60, 100}}}) + "\n";
    for (int run = 0; run < 1000; ++run) {
        Child c = startBridge(
            [] {
                fake::world().endpoints = {fake::named(17, "Synth", 7), fake::named(18, std::string(3000, 'n'), 8)};
            },
            batch);
        c.closeInput();
        std::string out = c.rest();
        ASSERT_EQ(c.wait(), 0) << "run " << run;
        ASSERT_TRUE(out.empty() || out.back() == '\n') << "run " << run << ": torn last line";
        for (const auto& l : lines(out)) ASSERT_TRUE(isJson(l)) << "run " << run << ": " << l.substr(0, 80);
    }
}

}  // namespace
