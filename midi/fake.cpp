// The MIDI service layer over the fake world.

#include "midi/fake.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <thread>
#include <vector>

namespace fake {

namespace {

World* current = new World;  // never freed: a child may exit while it is used
std::mutex guard;
std::uint64_t asked = 0;  // generations given while the world sets none

// Notifications given and not yet delivered, under guard, and the eventfd
// that tells the caller's loop of them.
std::vector<std::int32_t> notes;
int ready() {
    static int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd;
}

const char* keyName(midi::Property key) {
    switch (key) {
        case midi::Property::offline: return "offline";
        case midi::Property::uniqueId: return "uniqueId";
        case midi::Property::displayName: return "displayName";
        case midi::Property::name: return "name";
    }
    return "?";
}

// Records the call that make() describes, when the world keeps a record.
template <class Make>
void record(Make make) {
    if (!current->record) return;
    std::string call = make();
    if (current->traceFd >= 0) {
        std::string line = call + '\n';
        [[maybe_unused]] auto n = ::write(current->traceFd, line.data(), line.size());
    }
    current->calls.push_back(std::move(call));
}

Endpoint* find(midi::Ref ref) {
    for (auto& e : current->endpoints)
        if (e.ref == ref) return &e;
    return nullptr;
}

}  // namespace

Endpoint named(midi::Ref ref, std::string displayName, std::int32_t uid) {
    Endpoint e;
    e.ref = ref;
    e.displayName = std::move(displayName);
    e.uid = uid;
    return e;
}

World& world() { return *current; }
std::mutex& worldLock() { return guard; }

void reset() {
    std::lock_guard held(guard);
    *current = World{};
}

void notify(std::int32_t id) {
    {
        std::lock_guard held(guard);
        if (!current->handler) return;
        notes.push_back(id);
    }
    std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(ready(), &one, sizeof one);
}

}  // namespace fake

namespace midi {

using fake::current;
using fake::guard;

Status clientCreate(std::string_view name, Ref* client, NotifyHandler notify) {
    std::lock_guard held(guard);
    fake::record([&] { return "clientCreate " + std::string(name); });
    if (current->clientStatus != 0) return current->clientStatus;
    current->handler = std::move(notify);
    *client = current->clientRef;
    return 0;
}

Status outputPortCreate(Ref client, std::string_view name, Ref* port) {
    std::lock_guard held(guard);
    fake::record([&] { return "outputPortCreate " + std::to_string(client) + " " + std::string(name); });
    if (current->portStatus != 0) return current->portStatus;
    *port = current->portRef;
    return 0;
}

std::size_t eventDescriptors(pollfd* fds, std::size_t room) {
    if (room == 0) return 0;
    fds[0] = {fake::ready(), POLLIN, 0};
    return 1;
}

int eventTimeout() { return -1; }

void handleEvents() {
    std::uint64_t count;
    [[maybe_unused]] auto n = ::read(fake::ready(), &count, sizeof count);
    std::vector<std::int32_t> due;
    NotifyHandler handler;
    {
        std::lock_guard held(guard);
        due.swap(fake::notes);
        handler = current->handler;
    }
    for (std::int32_t id : due) {
        Notification note{id, sizeof(Notification)};
        if (handler) handler(&note);
    }
}

void takeChanges() {}

std::uint64_t setupGeneration() {
    std::lock_guard held(guard);
    return current->generation ? *current->generation : ++fake::asked;
}

std::uint64_t rescan() {
    std::lock_guard held(guard);
    if (current->rescanned) current->rescanned(*current);
    return current->generation ? *current->generation : fake::asked;
}

std::size_t destinationCount() {
    std::chrono::microseconds delay;
    std::size_t count;
    {
        std::lock_guard held(guard);
        fake::record([&] { return std::string("count"); });
        delay = current->countDelay;
        count = current->endpoints.size();
        if (current->afterCount) current->afterCount(*current);
    }
    if (delay.count() > 0) std::this_thread::sleep_for(delay);
    return count;
}

Ref destination(std::size_t index) {
    std::lock_guard held(guard);
    fake::record([&] { return "destination " + std::to_string(index); });
    return index < current->endpoints.size() ? current->endpoints[index].ref : 0;
}

Status integerProperty(Ref object, Property key, std::int32_t* out) {
    std::lock_guard held(guard);
    fake::record([&] { return "integer " + std::to_string(object) + " " + fake::keyName(key); });
    const fake::Endpoint* e = fake::find(object);
    if (!e) return -1;
    const auto& value = key == Property::offline ? e->offline : e->uid;
    if (value) *out = *value;
    return key == Property::offline ? e->offlineStatus : e->uidStatus;
}

Status stringProperty(Ref object, Property key, std::optional<std::string>* out) {
    std::lock_guard held(guard);
    fake::record([&] { return "string " + std::to_string(object) + " " + fake::keyName(key); });
    const fake::Endpoint* e = fake::find(object);
    if (!e) return -1;
    const auto& value = key == Property::displayName ? e->displayName : e->name;
    if (value) *out = *value;
    return key == Property::displayName ? e->displayNameStatus : e->nameStatus;
}

std::chrono::microseconds roomWait() {
    std::lock_guard held(guard);
    return current->roomWait;
}

Status sendList(Ref port, Ref endpoint, const PacketList* list) {
    std::lock_guard held(guard);
    fake::record([&] {
        std::string call = "send " + std::to_string(port) + " " + std::to_string(endpoint);
        if (current->traceBytes && list->count > 0)
            for (std::uint16_t i = 0; i < list->packet[0].length; ++i) call += " " + std::to_string(list->packet[0].data[i]);
        return call;
    });
    fake::Endpoint* e = fake::find(endpoint);
    if (e && e->staleSends > 0) {
        --e->staleSends;
        return stale;
    }
    if (e && e->fullSends > 0) {
        --e->fullSends;
        return full;
    }
    if (current->record) {
        fake::Sent sent{port, endpoint, {}};
        const Packet* p = &list->packet[0];
        for (std::uint32_t i = 0; i < list->count; ++i) {
            sent.packets.emplace_back(p->data, p->data + p->length);
            p = reinterpret_cast<const Packet*>(p->data + p->length);
        }
        current->sent.push_back(std::move(sent));
    }
    return e ? e->sendStatus : -1;
}

}  // namespace midi
