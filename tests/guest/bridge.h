#pragma once
// The bridge as a host starts it: a child process with pipes on its three
// standard streams. Killed and reaped on destruction if still running.

#include <sys/types.h>

#include <chrono>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

using namespace std::chrono_literals;

class Bridge {
public:
    // Starts the program at path (the bridge unless told otherwise); each
    // standard stream named in closed (0, 1, 2) is left closed instead.
    explicit Bridge(const std::string& path = GUEST_BRIDGE, std::initializer_list<int> closed = {});
    ~Bridge();
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    pid_t pid() const { return pid_; }
    // Writes all of text to its standard input.
    void write(std::string_view text);
    // Ends its standard input.
    void closeInput();
    // The next line of standard output without its line feed; none when the
    // output ends or the time runs out first.
    std::optional<std::string> line(std::chrono::milliseconds timeout = 5s);
    // Everything left on standard output until it ends (or the time runs out).
    std::string rest(std::chrono::milliseconds timeout = 5s);
    // How many bytes of its standard output wait in the pipe, unread.
    std::size_t unreadOutput() const;
    // What it has written to standard error so far.
    std::string errors();
    // Its exit status, or 128 + the signal; -1 when still running after the
    // timeout, and then it is killed.
    int wait(std::chrono::milliseconds timeout = 5s);

private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    std::optional<int> status_;
    std::string buffered_;
};
