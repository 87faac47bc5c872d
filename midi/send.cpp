#include "midi/send.h"

#include <utf8proc.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "app/state.h"
#include "midi/directory.h"
#include "protocol/messages.h"

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
using Nfc = std::unique_ptr<char, FreeDeleter>;

Nfc nfc(const std::string& text) {
    auto* out = utf8proc_NFC(reinterpret_cast<const utf8proc_uint8_t*>(text.c_str()));
    return Nfc(reinterpret_cast<char*>(out));
}

bool ascii(const std::string& text) {
    for (unsigned char c : text)
        if (c >= 0x80) return false;
    return true;
}

// The first entry named dest, byte for byte or under canonical equivalence.
const Destination* find(const std::vector<Destination>& directory, const std::string& dest) {
    Nfc want;  // dest in NFC, made at the first entry that needs it
    bool asciiDest = ascii(dest);
    for (const auto& d : directory) {
        if (d.name == dest) return &d;
        // Two ASCII texts are their own NFC, so they differ for good.
        if (asciiDest && ascii(d.name)) continue;
        if (!want && !(want = nfc(dest))) continue;
        Nfc have = nfc(d.name);
        if (have && std::strcmp(have.get(), want.get()) == 0) return &d;
    }
    return nullptr;
}

}  // namespace

void send(const Json& request) {
    std::int64_t id = integerAt(request, "id").value_or(0);
    auto fail = [id](const std::string& error) { emit(sendReply(id, &error)); };

    const std::string* dest = textAt(request, "dest");
    const Json::array_t* bytes = dest ? integersAt(request, "bytes") : nullptr;
    if (!bytes || bytes->empty() || bytes->size() > 256) return fail("bad request");

    auto directory = destinations();
    const Destination* target = find(directory, *dest);
    if (!target) return fail(*dest + " is not connected");

    std::uint8_t data[256];
    std::size_t n = 0;
    for (const auto& b : *bytes) data[n++] = static_cast<std::uint8_t>(*integerOf(b));

    midi::PacketList list{};
    midi::Packet* packet = midi::packetListInit(&list);
    midi::packetListAdd(&list, midi::listSize, packet, 0, n, data);
    midi::Status status = midi::sendList(port, target->ref, &list);
    if (status != 0) return fail("send failed (" + std::to_string(status) + ")");
    emit(sendReply(id, nullptr));
}
