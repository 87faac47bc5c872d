#include "midi/alsa/pacing.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>

#include "midi/alsa/room.h"

namespace midi::alsa {

namespace {

using Clock = std::chrono::steady_clock;

// What is kept for one device port, by its serial.
struct Pace {
    std::uint64_t serial = 0;
    int fd = -1;
    std::uint64_t tx = 0;       // as last read
    Clock::time_point read;     // when
    Clock::time_point moved;    // when tx last grew, or waiting began
    bool waiting = false;       // the last ask found no room
    double perSecond = 0;       // how fast the device took bytes, 0: unknown
};
std::vector<Pace> paces;
std::size_t lacking = 0;        // of the last no
double lackingRate = 0;

constexpr auto shortestWait = std::chrono::milliseconds(1);
constexpr auto longestWait = std::chrono::milliseconds(50);
constexpr auto unknownWait = std::chrono::milliseconds(2);

Pace& paceOf(std::uint64_t serial) {
    for (auto& p : paces)
        if (p.serial == serial) return p;
    Pace p;
    p.serial = serial;
    return paces.emplace_back(p);
}

// The whole file, read afresh; empty when it cannot be.
std::string_view readAll(int fd) {
    static char text[16 * 1024];
    std::size_t have = 0;
    while (have < sizeof text) {
        ssize_t n = ::pread(fd, text + have, sizeof text - have, static_cast<off_t>(have));
        if (n < 0) return {};
        if (n == 0) break;
        have += static_cast<std::size_t>(n);
    }
    return {text, have};
}

}  // namespace

Fit fits(const Entry& e, std::size_t bytes) {
    if (!isDevicePort(e.card, e.type)) return Fit::yes;
    Pace& p = paceOf(e.serial);
    if (p.fd < 0) p.fd = ::open(roomFile(e.card, static_cast<int>(e.ref & 0xFF)).c_str(), O_RDONLY | O_CLOEXEC);
    if (p.fd < 0) return Fit::yes;
    auto room = parseRoom(readAll(p.fd), static_cast<int>(e.ref & 0xFF));
    if (!room) return Fit::yes;
    const auto now = Clock::now();
    if (room->tx != p.tx) {
        if (p.waiting && room->tx > p.tx && now > p.read)
            p.perSecond = static_cast<double>(room->tx - p.tx) / std::chrono::duration<double>(now - p.read).count();
        p.moved = now;
    }
    p.tx = room->tx;
    p.read = now;
    // What can never fit goes into an empty buffer, where the driver takes
    // every event that fits by itself.
    const std::size_t needed = std::min(bytes, room->size);
    if (room->avail >= needed) {
        p.waiting = false;
        return Fit::yes;
    }
    if (!p.waiting) {
        p.waiting = true;
        p.moved = now;
    } else if (now - p.moved >= stuckAfter) {
        p.waiting = false;
        return Fit::stuck;
    }
    lacking = needed - room->avail;
    lackingRate = p.perSecond;
    return Fit::no;
}

std::chrono::microseconds roomWait() {
    if (lackingRate <= 0) return unknownWait;
    auto wait = std::chrono::microseconds(static_cast<std::int64_t>(1e6 * static_cast<double>(lacking) / lackingRate));
    return std::clamp<std::chrono::microseconds>(wait, shortestWait, longestWait);
}

void forgetPaces(const std::vector<Entry>& listing) {
    std::erase_if(paces, [&listing](const Pace& p) {
        bool listed = std::any_of(listing.begin(), listing.end(), [&p](const Entry& e) { return e.serial == p.serial; });
        if (!listed && p.fd >= 0) ::close(p.fd);
        return !listed;
    });
}

}  // namespace midi::alsa
