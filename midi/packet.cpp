// Packet lists are plain memory; every backend fills them the same way.

#include <cstddef>
#include <cstring>

#include "midi/service.h"

namespace midi {

Packet* packetListInit(PacketList* list) {
    list->count = 0;
    return &list->packet[0];
}

Packet* packetListAdd(PacketList* list, std::size_t size, Packet* cur,
                      std::uint64_t time, std::size_t count,
                      const std::uint8_t* data) {
    auto* base = reinterpret_cast<std::uint8_t*>(list);
    Packet* next = cur;
    if (list->count > 0)
        next = reinterpret_cast<Packet*>(cur->data + cur->length);
    std::size_t end = static_cast<std::size_t>(next->data - base) + count;
    if (count > 0xffff || end > size) return nullptr;
    next->time = time;
    next->length = static_cast<std::uint16_t>(count);
    std::memcpy(next->data, data, count);
    ++list->count;
    return next;
}

}  // namespace midi
