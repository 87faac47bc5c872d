#include "midi/alsa/room.h"

#include <charconv>

namespace midi::alsa {

namespace {

constexpr int portsPerDevice = 32;

// The number after "NAME:" in a field line such as "  Avail        : 4096".
std::optional<std::uint64_t> field(std::string_view line, std::string_view name) {
    std::size_t start = line.find_first_not_of(' ');
    if (start == std::string_view::npos || line.compare(start, name.size(), name) != 0) return std::nullopt;
    std::size_t colon = line.find(':', start + name.size());
    if (colon == std::string_view::npos) return std::nullopt;
    for (std::size_t i = start + name.size(); i < colon; ++i)
        if (line[i] != ' ') return std::nullopt;
    std::size_t digits = line.find_first_not_of(' ', colon + 1);
    if (digits == std::string_view::npos) return std::nullopt;
    std::uint64_t value = 0;
    auto [end, err] = std::from_chars(line.data() + digits, line.data() + line.size(), value);
    if (err != std::errc() || end != line.data() + line.size()) return std::nullopt;
    return value;
}

}  // namespace

std::string roomFile(int card, int port) {
    return "/proc/asound/card" + std::to_string(card) + "/midi" + std::to_string(port / portsPerDevice);
}

std::optional<Room> parseRoom(std::string_view text, int port) {
    const std::string heading = "Output " + std::to_string(port % portsPerDevice);
    std::optional<std::uint64_t> avail, size, tx;
    bool inside = false;
    while (!text.empty()) {
        std::size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
        if (!line.empty() && line.front() != ' ') {
            if (inside) break;  // the next substream's
            inside = line == heading;
            continue;
        }
        if (!inside) continue;
        if (auto v = field(line, "Avail")) avail = v;
        if (auto v = field(line, "Buffer size")) size = v;
        if (auto v = field(line, "Tx bytes")) tx = v;
    }
    if (!avail || !size || !tx || *avail > *size) return std::nullopt;
    return Room{static_cast<std::size_t>(*avail), static_cast<std::size_t>(*size), *tx};
}

std::size_t wireBytes(std::uint8_t status) {
    if (status < 0xF0) return (status & 0xE0) == 0xC0 ? 2 : 3;  // program change, channel pressure: 2
    switch (status) {
        case 0xF1:
        case 0xF3: return 2;
        case 0xF2: return 3;
        default: return 1;
    }
}

}  // namespace midi::alsa
