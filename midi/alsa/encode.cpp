#include "midi/alsa/encode.h"

#include <cerrno>

namespace midi::encode {

namespace {

// Bytes in a message led by status, or 0 for one that cannot lead a short
// message (system exclusive, its end, the undefined F4 and F5).
std::uint8_t length(std::uint8_t status) {
    switch (status & 0xF0) {
        case 0xC0:
        case 0xD0:
            return 2;
        case 0xF0:
            break;
        default:
            return 3;
    }
    switch (status) {
        case 0xF1:
        case 0xF3:
            return 2;
        case 0xF2:
            return 3;
        case 0xF6:
            return 1;
        default:
            return 0;
    }
}

struct Parser {
    Batch* batch = nullptr;
    const std::uint8_t* data = nullptr;
    std::uint8_t running = 0;  // status for data bytes that come without one
    std::uint8_t pending[3] = {};
    std::uint8_t have = 0;      // bytes of pending gathered so far
    std::uint8_t need = 0;      // bytes pending needs; 0 when none is under way
    std::size_t piece = 0;      // where the unsent run of system exclusive starts
    bool inPiece = false;
    bool sysexHere = false;     // this packet holds bytes of the open system exclusive

    bool push(Message m) {
        if (batch->count == capacity) return false;
        batch->message[batch->count++] = m;
        return true;
    }

    bool short_(const std::uint8_t* bytes, std::uint8_t size) {
        Message m{nullptr, size, {bytes[0], size > 1 ? bytes[1] : std::uint8_t{0},
                                  size > 2 ? bytes[2] : std::uint8_t{0}},
                  batch->open};
        return push(m);
    }

    bool raw(std::size_t from, std::size_t to) {
        return push({data + from, static_cast<std::uint16_t>(to - from), {0, 0, 0}, batch->open});
    }

    bool closePiece(std::size_t at) {
        if (!inPiece) return true;
        inPiece = false;
        return raw(piece, at);
    }

    void startPiece(std::size_t at) {
        if (inPiece) return;
        inPiece = true;
        piece = at;
    }
};

}  // namespace

std::int32_t add(Batch* batch, const std::uint8_t* data, std::size_t size) {
    const std::size_t count = batch->count;
    const bool open = batch->open;
    auto refuse = [&](std::int32_t status) {
        batch->count = count;
        batch->open = open;
        return status;
    };

    Parser p{batch, data};
    for (std::size_t i = 0; i < size; ++i) {
        std::uint8_t b = data[i];
        if (b >= 0xF8) {
            if (!p.closePiece(i)) return refuse(-ENOBUFS);
            // The sequencer has no event for F9 and FD: they go out raw.
            bool ok = (b == 0xF9 || b == 0xFD) ? p.raw(i, i + 1) : p.short_(&b, 1);
            if (!ok) return refuse(-ENOBUFS);
            continue;
        }
        if (batch->open) {
            if (b < 0x80 || b == 0xF7) {
                p.startPiece(i);
                p.sysexHere = true;
                if (b == 0xF7) {
                    batch->open = false;
                    if (!p.closePiece(i + 1)) return refuse(-ENOBUFS);
                }
                continue;
            }
            if (p.sysexHere) return refuse(-EINVAL);
            batch->open = false;
        }
        if (b < 0x80) {
            if (p.need == 0) {
                if (p.running == 0) return refuse(-EINVAL);
                p.pending[0] = p.running;
                p.have = 1;
                p.need = length(p.running);
            }
            p.pending[p.have++] = b;
            if (p.have == p.need) {
                if (!p.short_(p.pending, p.need)) return refuse(-ENOBUFS);
                p.need = 0;
            }
            continue;
        }
        if (p.need != 0) return refuse(-EINVAL);
        p.running = b < 0xF0 ? b : 0;
        if (b == 0xF0) {
            batch->open = true;
            p.sysexHere = true;
            p.startPiece(i);
            continue;
        }
        std::uint8_t n = length(b);
        if (n == 0) return refuse(-EINVAL);
        if (n == 1) {
            if (!p.short_(&b, 1)) return refuse(-ENOBUFS);
            continue;
        }
        p.pending[0] = b;
        p.have = 1;
        p.need = n;
    }
    if (p.need != 0) return refuse(-EINVAL);
    if (!p.closePiece(size)) return refuse(-ENOBUFS);
    return 0;
}

}  // namespace midi::encode
