// The bridge's own work for one send request, beside the JSON library's bare
// parse of the same request and serialisation of the same reply.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include "app/dispatch.h"
#include "app/state.h"
#include "midi/fake.h"
#include "protocol/accept.h"

namespace {

const std::string request = R"({"id":12345,"dest":"Midi Through Port-0","bytes":[144,60,100]})";

// A small world like a real one: the target sits among a few others.
void world() {
    fake::reset();
    auto& w = fake::world();
    w.record = false;
    const char* names[] = {"Midi Through Port-0", "VirMIDI 1-0", "VirMIDI 1-1", "VirMIDI 1-2", "VirMIDI 1-3"};
    midi::Ref ref = 0x0e00;
    for (const char* name : names) {
        w.endpoints.push_back(fake::named(ref, name, static_cast<std::int32_t>(ref * 7919)));
        ++ref;
    }
    port = 0x8001;
}

// Replies go where a host would read them, but nobody needs to.
struct QuietOutput {
    int saved = ::dup(1);
    QuietOutput() {
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::close(null);
    }
    ~QuietOutput() {
        ::dup2(saved, 1);
        ::close(saved);
    }
};

void BridgeSendRequest(benchmark::State& state) {
    world();
    QuietOutput quiet;
    for (auto _ : state) {
        auto object = accept(request);
        dispatch(*object);
    }
}
BENCHMARK(BridgeSendRequest);

void JsonParseAndSerialise(benchmark::State& state) {
    QuietOutput quiet;
    for (auto _ : state) {
        Json parsed = Json::parse(request);
        benchmark::DoNotOptimize(parsed);
        std::string reply = Json{{"id", 12345}, {"ok", true}}.dump() + "\n";
        benchmark::DoNotOptimize(::write(1, reply.data(), reply.size()));
    }
}
BENCHMARK(JsonParseAndSerialise);

}  // namespace

BENCHMARK_MAIN();
