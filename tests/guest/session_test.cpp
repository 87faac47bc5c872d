// A whole host session on a real sequencer: commands, requests and junk in,
// answers in order out, with the MIDI setup changing underneath.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "bridge.h"
#include "peer.h"

namespace {

using nlohmann::json;

bool isReport(const std::string& line) {
    auto j = json::parse(line, nullptr, false);
    return j.is_object() && j.size() == 1 && j.contains("ports") && j["ports"].is_array();
}

bool lists(const std::string& line, const std::string& name) {
    auto j = json::parse(line, nullptr, false);
    if (!j.is_object() || !j.contains("ports")) return false;
    for (const auto& p : j["ports"])
        if (p.value("name", "") == name) return true;
    return false;
}

class Session : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::access("/dev/snd/seq", F_OK), 0) << "the sound modules are not loaded";
        keys = peer.addPort("Keys");
        cafe = peer.addPort("Caf\xC3\xA9");  // precomposed e-acute
        bridge.emplace();
        auto first = bridge->line();
        ASSERT_TRUE(first && lists(*first, "Session: Keys")) << first.value_or("no line");
    }

    // The next line that is not an unasked ports report.
    std::optional<std::string> answer() {
        while (auto line = bridge->line()) {
            if (!isReport(*line)) return line;
            reports.push_back(*line);
        }
        return std::nullopt;
    }

    Peer peer{"Session"};
    int keys = -1;
    int cafe = -1;
    std::optional<Bridge> bridge;
    std::vector<std::string> reports;
};

TEST_F(Session, AnswersEachObjectAndNothingElse) {
    struct Case {
        const char* line;
        const char* answer;  // nullptr: no answer at all
    } cases[] = {
        {R"j({"cmd":"ports","id":4})j", "report"},
        {R"j({"cmd":"Ports","id":1})j", R"j({"error":"bad request","id":1,"ok":false})j"},
        {R"j({"cmd":" ports","id":2,"dest":"Session: Keys","bytes":[144,60,100]})j", R"j({"id":2,"ok":true})j"},
        {R"j({"id":3,"dest":"Session: Cafe\u0301","bytes":[128,60,0]})j", R"j({"id":3,"ok":true})j"},
        {R"j({"id":4,"dest":"Session: keys","bytes":[144,60,100]})j", R"j({"error":"Session: keys is not connected","id":4,"ok":false})j"},
        {R"j({"id":5,"dest":"Session: Keys","bytes":[60]})j", R"j({"error":"send failed (-22)","id":5,"ok":false})j"},
        {"not json", nullptr},
        {"[1,2,3]", nullptr},
        {"{\"cmd\":\"ports\"}{}", nullptr},
        {"", nullptr},
        {"{\"id\":6,\"dest\":\"Session: Keys\",\"bytes\":[176,7,99]}\r", R"j({"id":6,"ok":true})j"},
    };
    for (const auto& c : cases) {
        bridge->write(std::string(c.line) + "\n");
        // A ports command after each line shows what the line itself was answered with.
        bridge->write("{\"cmd\":\"ports\"}\n");
        auto first = bridge->line();
        ASSERT_TRUE(first) << c.line;
        if (!c.answer) {
            EXPECT_TRUE(isReport(*first)) << c.line << " -> " << *first;
            continue;
        }
        if (std::string(c.answer) == "report") {
            EXPECT_TRUE(isReport(*first)) << c.line;
            EXPECT_TRUE(bridge->line()) << c.line;
            continue;
        }
        EXPECT_EQ(json::parse(*first), json::parse(c.answer)) << c.line;
        auto report = bridge->line();
        EXPECT_TRUE(report && isReport(*report)) << c.line;
    }
    EXPECT_TRUE(peer.waitForBytes(keys, 6));
    EXPECT_EQ(peer.bytes(keys), (std::vector<std::uint8_t>{144, 60, 100, 176, 7, 99}));
    EXPECT_TRUE(peer.waitForBytes(cafe, 3));
    EXPECT_EQ(peer.bytes(cafe), (std::vector<std::uint8_t>{128, 60, 0}));
}

TEST_F(Session, RepliesComeInInputOrderWhileTheSetupChanges) {
    std::atomic<bool> done{false};
    std::thread churn([&] {
        Peer other("Churn");
        for (int i = 0; i < 20 && !done; ++i) {
            int p = other.addPort("Come and go");
            std::this_thread::sleep_for(20ms);
            other.removePort(p);
        }
    });
    // Room for every event at once: what is tested here is the order of the
    // replies, not a receiver that falls behind (which is told "send failed").
    peer.holdEvents(1000);
    std::string input;
    for (int id = 1; id <= 500; ++id)
        input += json{{"id", id}, {"dest", "Session: Keys"}, {"bytes", {0xF8}}}.dump() + "\n";
    bridge->write(input);
    for (int id = 1; id <= 500; ++id) {
        auto line = answer();
        ASSERT_TRUE(line) << "no reply to " << id;
        ASSERT_EQ(json::parse(*line), json::parse(json{{"id", id}, {"ok", true}}.dump()));
    }
    done = true;
    churn.join();
    while (auto line = bridge->line(1s)) reports.push_back(*line);
    EXPECT_FALSE(reports.empty()) << "the ports that came and went were never reported";
    for (const auto& r : reports) EXPECT_TRUE(isReport(r)) << r;
    bridge->closeInput();
    EXPECT_EQ(bridge->wait(), 0);
    EXPECT_EQ(bridge->errors(), "");
}

}  // namespace
