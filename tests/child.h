#pragma once
// Runs the bridge in a child process wired to pipes, as a host would.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using namespace std::chrono_literals;

struct Child {
    pid_t pid = -1;
    int in = -1;   // the child's standard input
    int out = -1;  // its standard output
    int err = -1;  // its standard error
    int inCopy = -1;  // our own copy of the read end of its standard input
    int trace = -1;   // the fake MIDI world's record of calls, one a line
    std::string buffered;

    // Writes to the child's standard input.
    void write(std::string_view text);
    void closeInput();
    // The next output line without its line feed, or none when the output
    // ends or the time runs out first.
    std::optional<std::string> line(std::chrono::milliseconds timeout = 10s);
    // Everything written until the output ends.
    std::string rest(std::chrono::milliseconds timeout = 10s);
    std::string errors();
    // What is still in the input pipe, unread by the child.
    std::string unreadInput();
    // The calls the fake MIDI world has recorded so far.
    std::vector<std::string> calls();
    // The exit status, or 128 + the signal; -1 when it runs past the timeout
    // (the child is then killed).
    int wait(std::chrono::milliseconds timeout = 10s);
    ~Child();
};

// Forks; the child runs script() (to set up the fake world), then start-up.
// Input, when given, is written before the child starts.
Child startBridge(std::function<void()> script, std::string_view input = {});

// Starts a program, with the given arguments, with pipes on its three
// standard streams.
Child spawnProgram(const std::string& path, std::string_view input = {}, std::vector<std::string> args = {});

// Splits text into lines without their line feeds.
std::vector<std::string> lines(const std::string& text);
