// The bridge's resident memory after many requests, and its CPU time while
// idle, over the fake MIDI world. Prints "name value unit" lines.

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "app/startup.h"
#include "midi/fake.h"
#include "../tests/resident.h"
#include "proc.h"

namespace {

// Reads replies until count line feeds have arrived.
void await(int fd, long count) {
    char buf[1 << 16];
    while (count > 0) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) std::exit(1);
        for (ssize_t i = 0; i < n; ++i) count -= buf[i] == '\n';
    }
}

// One bridge over the fake world: a million requests, either all at once (the
// writer never waits) or paced like a host that keeps a window of requests in
// flight; then, once it has settled, five idle seconds.
void run(const char* name, bool paced) {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) std::exit(1);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::close(in[1]);
        ::close(out[0]);
        fake::world().record = false;
        fake::world().endpoints = {fake::named(0x0e00, "Midi Through Port-0", 1), fake::named(0x1000, "VirMIDI 1-0", 2)};
        startup();
    }
    ::close(in[0]);
    ::close(out[1]);
    await(out[0], 1);

    const std::string request = R"({"id":1,"dest":"Midi Through Port-0","bytes":[144,60,100]})" "\n";
    constexpr long window = 100;
    std::string batch;
    for (int i = 0; i < 1000; ++i) batch += request;
    auto write = [&](const std::string& text) {
        if (::write(in[1], text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::exit(1);
    };
    auto pump = [&](long requests) {
        if (paced) {
            std::string slice = batch.substr(0, request.size() * window);
            for (long sent = 0; sent < requests; sent += window) {
                write(slice);
                await(out[0], window);
            }
            return;
        }
        std::thread writer([&] {
            for (long sent = 0; sent < requests; sent += 1000) write(batch);
        });
        await(out[0], requests);
        writer.join();
    };
    long start = residentKiB(pid);
    pump(100'000);
    long at100k = residentKiB(pid);
    pump(900'000);
    long at1m = residentKiB(pid);

    // Whatever the last burst leaves to tidy up happens before the idle time.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    long before = cpuTicks(pid);
    std::this_thread::sleep_for(std::chrono::seconds(5));
    long idle = cpuTicks(pid) - before;
    long settled = residentKiB(pid);

    std::printf("%s_rss_start %ld KiB\n%s_rss_100k %ld KiB\n%s_rss_1m %ld KiB\n%s_idle_ticks_5s %ld ticks\n%s_rss_settled %ld KiB\n",
                name, start, name, at100k, name, at1m, name, idle, name, settled);
    std::fflush(stdout);
    ::close(in[1]);
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
}

}  // namespace

int main() {
    run("burst", false);
    run("paced", true);
    return 0;
}
