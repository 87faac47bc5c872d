// A real USB MIDI driver stack under the bridge: the first send reaches a
// device no one has opened, its id stays with the device over re-plugs and
// whatever the order of plugging, and pulling the cable mid-stream loses no
// reply.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bridge.h"
#include "peer.h"
#include "usb.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using nlohmann::json;

std::string request(long id, const std::string& dest, const Bytes& bytes) {
    return json{{"id", id}, {"dest", dest}, {"bytes", bytes}}.dump() + "\n";
}

Bytes sysex(std::size_t length) {
    Bytes bytes{0xF0};
    for (std::size_t i = 1; i + 1 < length; ++i) bytes.push_back(static_cast<std::uint8_t>(i % 128));
    bytes.push_back(0xF7);
    return bytes;
}

// The uids that a ports report lists under the device's port name, in its
// order; none when the line is no ports report.
std::optional<std::vector<std::int32_t>> deviceUids(const std::optional<std::string>& line) {
    if (!line) return std::nullopt;
    auto j = json::parse(*line, nullptr, false);
    if (!j.is_object() || !j.contains("ports") || !j["ports"].is_array()) return std::nullopt;
    std::vector<std::int32_t> uids;
    for (const auto& p : j["ports"])
        if (p.value("name", "") == usbPortName) uids.push_back(p.value("uid", 0));
    return uids;
}

// Reads until a ports report lists the device's port count times; its uids,
// sorted, or none when no such report came in time. Send replies on the way
// are passed over.
std::optional<std::vector<std::int32_t>> awaitDevices(Bridge& bridge, std::size_t count) {
    while (auto line = bridge.line(10s)) {
        auto uids = deviceUids(line);
        if (uids && uids->size() == count) {
            std::sort(uids->begin(), uids->end());
            return uids;
        }
    }
    return std::nullopt;
}

// The error of a send reply to dest (the device unless told), "" for ok;
// ports reports are passed over.
std::string sendOne(Bridge& bridge, long id, const Bytes& bytes, const std::string& dest = usbPortName) {
    bridge.write(request(id, dest, bytes));
    while (auto line = bridge.line()) {
        auto j = json::parse(*line, nullptr, false);
        if (!j.is_object() || !j.contains("ok")) continue;
        EXPECT_EQ(j.value("id", -1L), id);
        return j.value("ok", false) ? "" : j.value("error", "error without text");
    }
    return "no reply";
}

// The bridge's output port, as the sequencer lists it.
std::optional<snd_seq_addr_t> bridgePort(const Bridge& bridge) {
    for (const auto& p : sequencerPorts())
        if (p.pid == bridge.pid() && p.portName == "Quorvane Monitor out")
            return snd_seq_addr_t{static_cast<unsigned char>(p.client), static_cast<unsigned char>(p.port)};
    return std::nullopt;
}

bool connected(snd_seq_addr_t from, snd_seq_addr_t to) {
    auto subs = subscribers(to);
    return std::any_of(subs.begin(), subs.end(),
                       [&](const snd_seq_addr_t& a) { return a.client == from.client && a.port == from.port; });
}

class UsbDevice : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(::access("/dev/snd/seq", F_OK), 0) << "the sound modules are not loaded"; }
};

TEST_F(UsbDevice, FirstSendsReachADeviceNoOneHasOpened) {
    UsbMidiDevice device("qmdevA");
    auto port = device.plug();
    ASSERT_TRUE(port) << "the USB device's port did not appear";
    ASSERT_TRUE(subscribers(*port).empty()) << "something else holds the device open";
    Bridge bridge;
    ASSERT_TRUE(awaitDevices(bridge, 1));

    const Bytes note{0x90, 60, 100};
    ASSERT_EQ(sendOne(bridge, 1, note), "");
    const Bytes bank = sysex(256);
    ASSERT_EQ(sendOne(bridge, 2, bank), "");
    // Connected or not, the device gets only what is sent to it by name.
    ASSERT_EQ(sendOne(bridge, 3, {0x90, 61, 100}, "Midi Through Port-0"), "");
    ASSERT_EQ(sendOne(bridge, 4, {0x80, 60, 0}), "");
    Bytes expected = note;
    expected.insert(expected.end(), bank.begin(), bank.end());
    expected.insert(expected.end(), {0x80, 60, 0});
    EXPECT_TRUE(device.waitForBytes(expected.size())) << "got " << device.bytes().size() << " bytes";
    EXPECT_EQ(device.bytes(), expected);

    // The way in is a connection of the bridge's own, visible to anyone who
    // lists connections, and the only one it made.
    auto out = bridgePort(bridge);
    ASSERT_TRUE(out);
    EXPECT_TRUE(connected(*out, *port));
    for (const auto& p : sequencerPorts()) {
        if (p.client == port->client) continue;
        EXPECT_FALSE(connected(*out, {static_cast<unsigned char>(p.client), static_cast<unsigned char>(p.port)}))
            << "connected to " << p.clientName << ":" << p.portName;
    }

    // The connection goes with the device, and a device plugged in again is
    // reached the same way.
    device.unplug();
    ASSERT_TRUE(awaitDevices(bridge, 0));
    port = device.plug();
    ASSERT_TRUE(port);
    EXPECT_FALSE(connected(*out, *port)) << "a connection outlived its device";
    ASSERT_TRUE(awaitDevices(bridge, 1));
    ASSERT_EQ(sendOne(bridge, 5, note), "");
    EXPECT_TRUE(device.waitForBytes(note.size()));
    EXPECT_EQ(device.bytes(), note);
}

TEST_F(UsbDevice, KeepsItsIdOverReplugsAndRuns) {
    UsbMidiDevice device("qmdevA");
    ASSERT_TRUE(device.plug());
    std::int32_t uid;
    {
        Bridge bridge;
        auto first = awaitDevices(bridge, 1);
        ASSERT_TRUE(first);
        uid = first->front();
        for (int cycle = 0; cycle < 20; ++cycle) {
            device.unplug();
            // Every other time the cable goes straight back in, while the
            // card that just went may still be on its way out.
            if (cycle % 2 == 0) {
                ASSERT_TRUE(awaitDevices(bridge, 0)) << "cycle " << cycle;
            }
            ASSERT_TRUE(device.plug()) << "cycle " << cycle;
            auto again = awaitDevices(bridge, 1);
            ASSERT_TRUE(again) << "cycle " << cycle;
            EXPECT_EQ(again->front(), uid) << "cycle " << cycle;
            // Whatever the bridge learns a moment later says the same.
            bridge.write("{\"cmd\":\"ports\"}\n");
            auto asked = awaitDevices(bridge, 1);
            ASSERT_TRUE(asked) << "cycle " << cycle;
            EXPECT_EQ(asked->front(), uid) << "cycle " << cycle;
        }
    }
    Bridge next;
    auto later = awaitDevices(next, 1);
    ASSERT_TRUE(later);
    EXPECT_EQ(later->front(), uid);
}

TEST_F(UsbDevice, TwoIdenticalDevicesKeepTheirIdsWhicheverComesFirst) {
    UsbMidiDevice a("qmdevA"), b("qmdevB");
    // The uid of a's device, and of both, with a plugged in first or second,
    // each time as a bridge that starts then (after a reboot, say) sees it
    // and as one that was running saw them come.
    auto both = [&](bool aFirst, std::int32_t* ofA, std::vector<std::int32_t>* all) {
        Bridge running;
        ASSERT_TRUE(awaitDevices(running, 0));
        ASSERT_TRUE(aFirst ? a.plug(0) : b.plug(1));
        ASSERT_TRUE(awaitDevices(running, 1));
        ASSERT_TRUE(aFirst ? b.plug(1) : a.plug(0));
        auto seen = awaitDevices(running, 2);
        ASSERT_TRUE(seen);
        Bridge fresh;
        auto started = awaitDevices(fresh, 2);
        ASSERT_TRUE(started);
        EXPECT_EQ(*started, *seen);
        b.unplug();
        auto onlyA = awaitDevices(running, 1);
        ASSERT_TRUE(onlyA);
        *ofA = onlyA->front();
        *all = *seen;
        a.unplug();
        ASSERT_TRUE(awaitDevices(running, 0));
    };
    std::int32_t aFirst = 0, aSecond = 0;
    std::vector<std::int32_t> first, second;
    both(true, &aFirst, &first);
    if (HasFatalFailure()) return;
    both(false, &aSecond, &second);
    if (HasFatalFailure()) return;
    ASSERT_EQ(first.size(), 2u);
    EXPECT_NE(first[0], first[1]) << "two devices share an id";
    EXPECT_EQ(second, first);
    EXPECT_EQ(aSecond, aFirst);
}

TEST_F(UsbDevice, UnpluggingMidStreamLeavesOneReplyEachAndNoOkAfterTheDeviceWent) {
    UsbMidiDevice device("qmdevA");
    ASSERT_TRUE(device.plug());
    Bridge bridge;
    ASSERT_TRUE(awaitDevices(bridge, 1));
    constexpr long total = 5000;
    std::thread writer([&] {
        for (long id = 1; id <= total; ++id) {
            bridge.write(request(id, usbPortName, {0x90, static_cast<std::uint8_t>(id % 128), 100}));
            if (id == total / 4) device.unplug();
        }
    });
    std::map<long, int> replies;
    long oks = 0;
    bool gone = false;
    long okAfterGone = 0;
    while (replies.size() < static_cast<std::size_t>(total)) {
        auto line = bridge.line(20s);
        if (!line) break;
        if (auto uids = deviceUids(line)) {
            if (uids->empty()) gone = true;
            continue;
        }
        auto j = json::parse(*line, nullptr, false);
        ASSERT_TRUE(j.is_object() && j.contains("ok")) << *line;
        ++replies[j.value("id", -1L)];
        if (j.value("ok", false)) {
            ++oks;
            if (gone) ++okAfterGone;
        } else {
            std::string error = j.value("error", "");
            EXPECT_TRUE(error == std::string(usbPortName) + " is not connected" || error.starts_with("send failed ("))
                << error;
        }
    }
    writer.join();
    EXPECT_EQ(replies.size(), static_cast<std::size_t>(total));
    for (const auto& [id, n] : replies) ASSERT_EQ(n, 1) << "id " << id;
    EXPECT_GT(oks, 0);
    EXPECT_TRUE(gone) << "no report without the device";
    EXPECT_EQ(okAfterGone, 0);
    bridge.closeInput();
    EXPECT_EQ(bridge.wait(), 0);
}

}  // namespace
