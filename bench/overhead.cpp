// The bridge's own work for one send request, beside the JSON library's bare
// parse of the same request and serialisation of the same reply.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "app/dispatch.h"
#include "midi/fake.h"
#include "midi/state.h"
#include "protocol/accept.h"
#include "world.h"

namespace {

const std::string request = R"({"id":12345,"dest":"Midi Through Port-0","bytes":[144,60,100]})";

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
    benchWorld();
    QuietOutput quiet;
    for (auto _ : state) {
        auto parsed = accept(request);
        dispatch(*parsed);
    }
}
BENCHMARK(BridgeSendRequest);

void JsonParseAndSerialise(benchmark::State& state) {
    QuietOutput quiet;
    for (auto _ : state) {
        Json parsed = boost::json::parse(request);
        benchmark::DoNotOptimize(parsed);
        std::string reply = boost::json::serialize(Json{{"id", 12345}, {"ok", true}}) + "\n";
        benchmark::DoNotOptimize(::write(1, reply.data(), reply.size()));
    }
}
BENCHMARK(JsonParseAndSerialise);

}  // namespace

BENCHMARK_MAIN();
