#pragma once
// The fake MIDI world the host-side benchmarks run over: a small one like a
// real machine's, with the target among a few others, a setup that does not
// change and no record kept.

#include "midi/fake.h"
#include "midi/state.h"

inline void benchWorld() {
    fake::reset();
    auto& w = fake::world();
    w.record = false;
    w.generation = 1;  // a setup that stays as it is, as the mirror tells a real one
    const char* names[] = {"Midi Through Port-0", "VirMIDI 1-0", "VirMIDI 1-1", "VirMIDI 1-2", "VirMIDI 1-3"};
    midi::Ref ref = 0x0e00;
    for (const char* name : names) {
        w.endpoints.push_back(fake::named(ref, name, static_cast<std::int32_t>(ref * 7919)));
        ++ref;
    }
    port = 0x8001;
}
