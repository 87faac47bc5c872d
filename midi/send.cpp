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

bool ascii(std::string_view text) {
    for (unsigned char c : text)
        if (c >= 0x80) return false;
    return true;
}

// The first entry named dest, byte for byte or under canonical equivalence.
const Destination* find(const std::vector<Destination>& directory, std::string_view dest) {
    Nfc want;  // dest in NFC, made at the first entry that needs it
    bool asciiDest = ascii(dest);
    for (const auto& d : directory) {
        if (d.name == dest) return &d;
        // Two ASCII texts are their own NFC, so they differ for good.
        if (asciiDest && ascii(d.name)) continue;
        if (!want && !(want = nfc(std::string(dest)))) continue;
        Nfc have = nfc(d.name);
        if (have && std::strcmp(have.get(), want.get()) == 0) return &d;
    }
    return nullptr;
}

}  // namespace

void send(const Request& request) {
    std::int64_t id = request.id();
    auto fail = [id](const std::string& error) { emit(sendReply(id, &error)); };
    if (request.kind() != Request::Kind::send) return fail("bad request");

    auto directory = destinations();
    const Destination* target = find(directory, request.dest());
    if (!target) return fail(std::string(request.dest()) + " is not connected");

    midi::PacketList list{};
    midi::Packet* packet = midi::packetListInit(&list);
    midi::packetListAdd(&list, midi::listSize, packet, 0, request.byteCount(), request.bytes());
    midi::Status status = midi::sendList(port, target->ref, &list);
    if (status != 0) return fail("send failed (" + std::to_string(status) + ")");
    emit(sendReply(id, nullptr));
}

void send(const Json& request) { send(sendRequestOf(request)); }
