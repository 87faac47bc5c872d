#include "midi/alsa/cards.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "midi/alsa/portnames.h"

namespace midi::alsa {

namespace {

std::optional<std::string> fromControl(int card) {
    char name[32];
    std::snprintf(name, sizeof name, "hw:%d", card);
    snd_ctl_t* ctl = nullptr;
    if (snd_ctl_open(&ctl, name, SND_CTL_NONBLOCK) != 0) return std::nullopt;
    snd_ctl_card_info_t* info;
    snd_ctl_card_info_alloca(&info);
    std::optional<std::string> key;
    if (snd_ctl_card_info(ctl, info) == 0 && *snd_ctl_card_info_get_id(info))
        key = ports::cardKey(snd_ctl_card_info_get_id(info), snd_ctl_card_info_get_longname(info));
    snd_ctl_close(ctl);
    return key;
}

// /proc/asound/cards gives each card two lines:
//  2 [USB            ]: USB-Audio - Conformance USB
//                       Conformance Conformance USB at usb-dummy_hcd.0-1, high speed
std::optional<std::string> fromProc(int card) {
    std::FILE* file = std::fopen("/proc/asound/cards", "re");
    if (!file) return std::nullopt;
    char line[256];
    std::optional<std::string> key;
    while (!key && std::fgets(line, sizeof line, file)) {
        int number = -1;
        char id[32] = {};
        if (std::sscanf(line, " %d [%31[^] ]", &number, id) != 2 || number != card) continue;
        char longName[256] = {};
        if (!std::fgets(longName, sizeof longName, file)) break;
        std::string_view text(longName);
        text.remove_prefix(std::min(text.find_first_not_of(' '), text.size()));
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
        key = ports::cardKey(id, text);
    }
    std::fclose(file);
    return key;
}

}  // namespace

std::optional<std::string> cardKey(int card) {
    if (auto key = fromControl(card)) return key;
    return fromProc(card);
}

}  // namespace midi::alsa
