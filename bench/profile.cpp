// The request path as the program runs it, over the fake MIDI layer: start-up,
// then 20,000 send requests read from a file on standard input by the reader
// thread, replies to /dev/null, until the end of input ends the process. For
// instruction profiles (per request: the reader's take() over the count):
//   valgrind --tool=callgrind build-bench/bench/bench_profile

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "app/startup.h"
#include "world.h"

int main() {
    constexpr int requests = 20'000;
    std::string input;
    for (int i = 0; i < requests; ++i)
        input += R"({"id":)" + std::to_string(i) + R"(,"dest":"Midi Through Port-0","bytes":[144,60,100]})" "\n";
    char path[] = "/tmp/bench_profile.XXXXXX";
    int in = ::mkstemp(path);
    if (in < 0 || ::write(in, input.data(), input.size()) != static_cast<ssize_t>(input.size())) return 1;
    ::unlink(path);
    ::lseek(in, 0, SEEK_SET);
    ::dup2(in, STDIN_FILENO);
    ::dup2(::open("/dev/null", O_WRONLY), STDOUT_FILENO);
    benchWorld();
    return startup();
}
