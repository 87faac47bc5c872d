// A long session on a real sequencer: a hundred thousand send requests to a
// receiver and to a peer that never reads, while another peer adds and
// removes ports and whole clients come and go, two hundred times each.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <map>
#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "bridge.h"
#include "peer.h"
#include "../resident.h"

namespace {

using nlohmann::json;

// A ports report with exactly its one key, each port exactly a text name and
// a 32-bit uid.
bool wellFormedReport(const json& j) {
    if (!j.is_object() || j.size() != 1 || !j.contains("ports") || !j["ports"].is_array()) return false;
    for (const auto& p : j["ports"]) {
        if (!p.is_object() || p.size() != 2 || !p.contains("name") || !p["name"].is_string()) return false;
        if (!p.contains("uid") || !p["uid"].is_number_integer()) return false;
        auto uid = p["uid"].get<std::int64_t>();
        if (uid < INT32_MIN || uid > INT32_MAX) return false;
    }
    return true;
}

// The name the bridge lists a port under, from its start-up report.
std::string listedName(const json& report, const std::string& port) {
    for (const auto& p : report["ports"]) {
        auto name = p["name"].get<std::string>();
        if (name.size() >= port.size() && name.compare(name.size() - port.size(), port.size(), port) == 0) return name;
    }
    return port;
}

TEST(Soak, AHundredThousandRequestsThroughTwoHundredSetupChanges) {
    ASSERT_EQ(::access("/dev/snd/seq", F_OK), 0) << "the sound modules are not loaded";
    constexpr int requests = 100'000, changes = 200, window = 2'000;
    Peer receiver("Soak");
    // Room for every request the writer keeps unanswered: a receiver that
    // reads loses nothing, however the machine schedules its thread.
    receiver.holdEvents(window);
    receiver.addPort("Soak in");
    Peer deaf("Soak deaf", Peer::Reads::never);
    deaf.addPort("Deaf in");
    Bridge bridge;
    auto first = bridge.line();
    ASSERT_TRUE(first);
    json start = json::parse(*first, nullptr, false);
    ASSERT_TRUE(wellFormedReport(start)) << *first;
    const std::string toReceiver = listedName(start, "Soak in"), toDeaf = listedName(start, "Deaf in");

    // Replies so far, for the writer's window and for the storm's pace.
    std::mutex lock;
    std::condition_variable progressed;
    int answered = 0;
    auto awaitAnswered = [&](int count) {
        std::unique_lock held(lock);
        return progressed.wait_for(held, 60s, [&] { return answered >= count; });
    };

    // Keeps at most a window of requests unanswered, so that memory measures
    // the bridge rather than its queue.
    std::thread writer([&] {
        for (int id = 1; id <= requests;) {
            if (!awaitAnswered(id - 1 - window)) return;
            std::string chunk;
            for (int end = std::min(id + 500, requests + 1); id < end; ++id)
                chunk += json{{"id", id}, {"dest", id % 4 ? toReceiver : toDeaf}, {"bytes", {0x90, 60, id % 128}}}.dump() +
                         "\n";
            bridge.write(chunk);
        }
    });
    // Ports come and go on a standing client, and whole clients with theirs,
    // spread over the session.
    std::thread storm([&] {
        Peer churn("Soak churn");
        for (int i = 0; i < changes; ++i) {
            if (!awaitAnswered(i * (requests / changes))) return;
            int port = churn.addPort("Churn " + std::to_string(i));
            Peer visitor("Soak visitor " + std::to_string(i));
            visitor.addPort("Visitor in");
            churn.removePort(port);
        }
    });

    int next = 1;
    json last;  // the latest ports report
    long memoryEarly = -1, memoryLate = -1;
    std::map<std::string, int> failures;
    while (next <= requests) {
        auto line = bridge.line(30s);
        if (!line) break;
        json j = json::parse(*line, nullptr, false);
        if (j.is_object() && j.contains("ports")) {
            EXPECT_TRUE(wellFormedReport(j)) << *line;
            last = j;
            continue;
        }
        if (!j.is_object() || j.value("id", -1) != next) {
            ADD_FAILURE() << "expected the reply to " << next << ": " << *line;
            break;
        }
        if (!j.value("ok", false)) ++failures[(next % 4 ? "receiver: " : "deaf: ") + j.value("error", "")];
        if (next == 20'000) memoryEarly = residentKiB(bridge.pid());
        {
            std::lock_guard held(lock);
            answered = next++;
        }
        progressed.notify_all();
    }
    memoryLate = residentKiB(bridge.pid());
    {
        std::lock_guard held(lock);
        answered = INT_MAX;  // releases both threads, whatever happened
    }
    progressed.notify_all();
    writer.join();
    storm.join();
    ASSERT_EQ(next, requests + 1) << "no reply to request " << next;
    // The peer that never reads fills its queue; nothing else may fail.
    failures.erase("deaf: send failed (-11)");
    EXPECT_TRUE(failures.empty()) << failures.begin()->first;
    // Changes that come while a report is still due are shown by it, so how
    // many reports come depends on the pace; but the storm's end is reported.
    auto stormLeft = [](const json& report) {
        for (const auto& p : report["ports"]) {
            auto name = p["name"].get<std::string>();
            if (name.find("Churn") != std::string::npos || name.find("Visitor in") != std::string::npos) return true;
        }
        return false;
    };
    while (last.is_null() || stormLeft(last)) {
        auto line = bridge.line(5s);
        if (!line) break;
        json j = json::parse(*line, nullptr, false);
        if (j.is_object() && j.contains("ports")) last = j;
    }
    EXPECT_FALSE(last.is_null() || stormLeft(last)) << "the storm's end went unreported: " << last.dump();
    EXPECT_LT(memoryLate - memoryEarly, 4 * 1024) << "from " << memoryEarly << " KiB to " << memoryLate << " KiB";

    bridge.closeInput();
    EXPECT_EQ(bridge.wait(10s), 0);
    EXPECT_EQ(bridge.errors(), "");
}

}  // namespace
