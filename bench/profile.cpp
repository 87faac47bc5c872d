// A fixed number of send requests through the whole pipeline on one thread
// (accept, post, run, reply to /dev/null), for instruction profiles:
//   valgrind --tool=callgrind build-bench/bench/bench_profile

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "app/dispatch.h"
#include "app/queue.h"
#include "app/state.h"
#include "midi/fake.h"
#include "protocol/accept.h"
#include "world.h"

int main() {
    benchWorld();
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);

    const std::string request = R"({"id":12345,"dest":"Midi Through Port-0","bytes":[144,60,100]})";
    for (int i = 0; i < 10'000; ++i) {
        if (auto parsed = accept(request)) post([parsed = std::move(*parsed)] { dispatch(parsed); });
        drainMainQueue();
    }
    return 0;
}
