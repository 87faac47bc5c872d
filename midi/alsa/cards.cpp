#include "midi/alsa/cards.h"

#include <alsa/asoundlib.h>

#include <cstdio>

namespace midi::alsa {

std::string cardId(int card) {
    char name[32];
    std::snprintf(name, sizeof name, "hw:%d", card);
    snd_ctl_t* ctl = nullptr;
    if (snd_ctl_open(&ctl, name, SND_CTL_NONBLOCK) == 0) {
        snd_ctl_card_info_t* info;
        snd_ctl_card_info_alloca(&info);
        std::string id;
        if (snd_ctl_card_info(ctl, info) == 0) id = snd_ctl_card_info_get_id(info);
        snd_ctl_close(ctl);
        if (!id.empty()) return id;
    }
    std::snprintf(name, sizeof name, "/proc/asound/card%d/id", card);
    std::FILE* file = std::fopen(name, "re");
    if (!file) return {};
    char line[64] = {};
    bool read = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    if (!read) return {};
    std::string id(line);
    while (!id.empty() && (id.back() == '\n' || id.back() == '\r')) id.pop_back();
    return id;
}

}  // namespace midi::alsa
