#include "child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <utility>

#include "app/startup.h"
#include "midi/fake.h"

namespace {

void pipeOrThrow(int fds[2]) {
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
}

Child forkWith(const std::function<void(int trace)>& inChild, std::string_view input) {
    int in[2], out[2], err[2], trace[2];
    pipeOrThrow(in);
    pipeOrThrow(out);
    pipeOrThrow(err);
    pipeOrThrow(trace);
    // A test that never reads the record must not stall the child on it.
    ::fcntl(trace[1], F_SETPIPE_SZ, 1 << 20);
    ::fcntl(trace[1], F_SETFL, O_NONBLOCK);
    // Input written ahead of the start must fit the pipe; tests keep it small.
    if (!input.empty() && ::write(in[1], input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        throw std::runtime_error("write");
    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::dup2(trace[1], 3);
        // Only the child's own ends stay open, so that closing ours is seen.
        ::close_range(4, ~0U, 0);
        inChild(3);
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    ::close(trace[1]);
    Child c;
    c.pid = pid;
    c.in = in[1];
    c.inCopy = in[0];
    c.out = out[0];
    c.err = err[0];
    c.trace = trace[0];
    return c;
}

// Reads what is there within the time; false at the end of the stream.
bool readSome(int fd, std::string& into, std::chrono::milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(timeout.count()));
    if (r <= 0) return r == 0;
    char buf[65536];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    into.append(buf, static_cast<std::size_t>(n));
    return true;
}

}  // namespace

void Child::write(std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(in, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

void Child::closeInput() {
    if (in >= 0) ::close(in);
    in = -1;
}

std::optional<std::string> Child::line(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto nl = buffered.find('\n');
        if (nl != std::string::npos) {
            std::string l = buffered.substr(0, nl);
            buffered.erase(0, nl + 1);
            return l;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        std::size_t before = buffered.size();
        if (!readSome(out, buffered, left) && buffered.size() == before) return std::nullopt;
    }
}

std::string Child::rest(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        std::size_t before = buffered.size();
        if (!readSome(out, buffered, left) && buffered.size() == before) break;
    }
    return std::exchange(buffered, {});
}

std::string Child::errors() {
    std::string text;
    for (std::size_t before = 1; before != text.size();) {
        before = text.size();
        if (!readSome(err, text, 200ms)) break;
    }
    return text;
}

std::string Child::unreadInput() {
    int pending = 0;
    ::ioctl(inCopy, FIONREAD, &pending);
    std::string text(static_cast<std::size_t>(pending), '\0');
    if (pending > 0 && ::read(inCopy, text.data(), text.size()) != pending) text.clear();
    return text;
}

std::vector<std::string> Child::calls() {
    std::string text;
    for (std::size_t before = 1; before != text.size();) {
        before = text.size();
        if (!readSome(trace, text, 200ms)) break;
    }
    return lines(text);
}

int Child::wait(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            pid = -1;
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            return 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            pid = -1;
            return -1;
        }
        ::usleep(1000);
    }
}

Child::~Child() {
    closeInput();
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    for (int fd : {out, err, inCopy, trace})
        if (fd >= 0) ::close(fd);
}

Child startBridge(std::function<void()> script, std::string_view input) {
    return forkWith(
        [&](int trace) {
            fake::reset();
            fake::world().traceFd = trace;
            if (script) script();
            startup();
        },
        input);
}

Child spawnProgram(const std::string& path, std::string_view input, std::vector<std::string> args) {
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    return forkWith([&](int) { ::execv(path.c_str(), argv.data()); }, input);
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (auto nl = text.find('\n'); nl != std::string::npos; nl = text.find('\n', start)) {
        out.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    if (start < text.size()) out.push_back(text.substr(start));
    return out;
}
