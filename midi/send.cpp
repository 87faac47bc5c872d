#include "midi/send.h"

#include <cstdint>
#include <string>

#include "midi/directory.h"
#include "midi/state.h"
#include "protocol/messages.h"

void send(const Request& request) {
    std::int64_t id = request.id.value_or(0);
    auto fail = [id](const std::string& error) { emit(sendReply(id, &error)); };

    const auto& dest = request.dest;
    const auto& bytes = request.bytes;
    if (!dest || !bytes.integers || bytes.count == 0 || bytes.count > maxBytes) return fail("bad request");

    // A name that is not listed may still be there under a change the
    // service was not told of; asking afresh settles it.
    const Directory& directory = current();
    const Destination* target = lookup(directory, *dest);
    if (!target && midi::rescan() != directory.generation) target = lookup(current(), *dest);
    if (!target) return fail(*dest + " is not connected");

    midi::PacketList list{};
    midi::Packet* packet = midi::packetListInit(&list);
    midi::packetListAdd(&list, midi::listSize, packet, 0, bytes.count, bytes.first.data());
    midi::Status status = midi::sendList(port, target->ref, &list);
    if (status == midi::stale) {
        // The port under that name changed before anything went out: the
        // name's owner now is the one that gets the bytes.
        target = lookup(current(), *dest);
        if (!target) return fail(*dest + " is not connected");
        status = midi::sendList(port, target->ref, &list);
        // Changed once more: what is listed under the name is not there.
        if (status == midi::stale) return fail(*dest + " is not connected");
    }
    if (status != 0) return fail("send failed (" + std::to_string(status) + ")");
    emitLine(okLine(id).line());
}
