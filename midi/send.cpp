#include "midi/send.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "midi/directory.h"
#include "midi/state.h"
#include "protocol/messages.h"

namespace {

using Clock = std::chrono::steady_clock;

// One send that waits for room at its destination.
struct Waiting {
    std::uint64_t order;  // of the request in the input
    std::int64_t id;
    std::string dest;
    std::size_t count;
    std::array<std::uint8_t, maxBytes> bytes;
    Held place;
};

// The sends that wait for one port, in input order, and when to try the
// first again.
struct Queue {
    midi::Ref ref;
    std::deque<Waiting> sends;
    Clock::time_point due;
};
std::vector<Queue> queues;  // one per port that lacks room: a few at most
std::uint64_t orders = 0;

Queue* queueOf(midi::Ref ref) {
    for (auto& q : queues)
        if (q.ref == ref) return &q;
    return nullptr;
}

// Puts w in line for ref behind every send that came before it.
void wait(midi::Ref ref, Waiting w, Clock::time_point due) {
    Queue* q = queueOf(ref);
    if (!q) q = &queues.emplace_back(Queue{ref, {}, due});
    auto at = std::upper_bound(q->sends.begin(), q->sends.end(), w.order,
                               [](std::uint64_t order, const Waiting& s) { return order < s.order; });
    q->sends.insert(at, std::move(w));
}

midi::PacketList packed(const std::uint8_t* bytes, std::size_t count) {
    midi::PacketList list{};
    midi::Packet* packet = midi::packetListInit(&list);
    midi::packetListAdd(&list, midi::listSize, packet, 0, count, bytes);
    return list;
}

// Sends the list to target, the port dest names. The status; target null
// when what is listed under the name is not there; full, with target the
// port to wait for, when it lacks room or sends to it already wait.
midi::Status deliver(const Destination*& target, const std::string& dest, const midi::PacketList& list) {
    midi::Status status = midi::sendList(port, target->ref, &list);
    if (status != midi::stale) return status;
    // The port under that name changed before anything went out: the name's
    // owner now is the one that gets the bytes.
    target = lookup(current(), dest);
    if (!target) return midi::stale;
    if (queueOf(target->ref)) return midi::full;
    status = midi::sendList(port, target->ref, &list);
    // Changed once more: what is listed under the name is not there.
    if (status == midi::stale) target = nullptr;
    return status;
}

Json failure(std::int64_t id, const std::string& error) { return sendReply(id, &error); }

Json failed(std::int64_t id, midi::Status status) {
    return failure(id, "send failed (" + std::to_string(status) + ")");
}

// The destination dest names now; a name that is not listed may still be
// there under a change the service was not told of, and asking afresh
// settles it.
const Destination* named(const std::string& dest) {
    const Directory& directory = current();
    const Destination* target = lookup(directory, dest);
    if (!target && midi::rescan() != directory.generation) target = lookup(current(), dest);
    return target;
}

// Tries the first send waiting in q; whether it is done with.
bool tryFirst(Queue& q, Clock::time_point now) {
    Waiting& w = q.sends.front();
    const Destination* target = named(w.dest);
    if (!target) {
        fill(w.place, failure(w.id, w.dest + " is not connected"));
        return true;
    }
    if (target->ref != q.ref) {
        // The name now stands for another port: the send goes there, in
        // its turn among those that wait for that one.
        wait(target->ref, std::move(w), now);
        return true;
    }
    midi::PacketList list = packed(w.bytes.data(), w.count);
    midi::Status status = deliver(target, w.dest, list);
    if (!target) {
        fill(w.place, failure(w.id, w.dest + " is not connected"));
        return true;
    }
    if (status == midi::full) {
        if (target->ref == q.ref) return false;
        wait(target->ref, std::move(w), now);
        return true;
    }
    if (status != 0)
        fill(w.place, failed(w.id, status));
    else
        fill(w.place, okLine(w.id).line());
    return true;
}

}  // namespace

void send(const Request& request) {
    std::int64_t id = request.id.value_or(0);
    auto fail = [id](const std::string& error) { emit(failure(id, error)); };

    const auto& dest = request.dest;
    const auto& bytes = request.bytes;
    if (!dest || !bytes.integers || bytes.count == 0 || bytes.count > maxBytes) return fail("bad request");

    const Destination* target = named(*dest);
    if (!target) return fail(*dest + " is not connected");

    const std::uint64_t order = ++orders;
    midi::Status status = midi::full;
    if (queues.empty() || !queueOf(target->ref)) {
        midi::PacketList list = packed(bytes.first.data(), bytes.count);
        status = deliver(target, *dest, list);
        if (!target) return fail(*dest + " is not connected");
    }
    if (status == midi::full) {
        Waiting w{order, id, *dest, bytes.count, bytes.first, hold()};
        wait(target->ref, std::move(w), Clock::now() + midi::roomWait());
        return;
    }
    if (status != 0) return emit(failed(id, status));
    emitLine(okLine(id).line());
}

bool sendsWaiting() { return !queues.empty(); }

int sendsTimeout() {
    if (queues.empty()) return -1;
    auto due = std::min_element(queues.begin(), queues.end(), [](const Queue& a, const Queue& b) { return a.due < b.due; })->due;
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count();
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(wait, 0, 60'000));
}

void resumeSends() {
    // Every waiting send was written before now.
    midi::takeChanges();
    const auto now = Clock::now();
    // By index: a send may move to a queue made meanwhile.
    for (std::size_t i = 0; i < queues.size(); ++i) {
        if (queues[i].due > now) continue;
        while (!queues[i].sends.empty()) {
            if (!tryFirst(queues[i], now)) {
                queues[i].due = Clock::now() + midi::roomWait();
                break;
            }
            queues[i].sends.pop_front();
        }
    }
    std::erase_if(queues, [](const Queue& q) { return q.sends.empty(); });
}
