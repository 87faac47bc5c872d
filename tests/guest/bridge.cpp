#include "bridge.h"

#include <sys/ioctl.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <thread>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds left(Clock::time_point deadline) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return ms.count() > 0 ? ms : 0ms;
}

// Appends what arrives within the time; false once the stream has ended.
bool readSome(int fd, std::string& into, std::chrono::milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(timeout.count()));
    if (r < 0) return errno == EINTR;
    if (r == 0) return true;
    char buf[4096];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) return errno == EINTR || errno == EAGAIN;
    into.append(buf, static_cast<std::size_t>(n));
    return n > 0;
}

}  // namespace

Bridge::Bridge(const std::string& path, std::initializer_list<int> closed) {
    // A test writing to a bridge that has died must fail, not be killed.
    ::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe");
    const char* argv[] = {path.c_str(), nullptr};
    bool close[3] = {};
    for (int fd : closed) close[fd] = true;
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        // Only async-signal-safe calls here: the test may run other threads.
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        for (int fd = 0; fd < 3; ++fd)
            if (close[fd]) ::close(fd);
        ::signal(SIGPIPE, SIG_DFL);
        ::execv(argv[0], const_cast<char* const*>(argv));
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    ::fcntl(err_, F_SETFL, O_NONBLOCK);
}

Bridge::~Bridge() {
    closeInput();
    if (!status_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
    ::close(err_);
}

void Bridge::write(std::string_view text) {
    while (!text.empty() && in_ >= 0) {
        ssize_t n = ::write(in_, text.data(), text.size());
        if (n < 0 && errno != EINTR) throw std::runtime_error("write to the bridge failed");
        if (n > 0) text.remove_prefix(static_cast<std::size_t>(n));
    }
}

void Bridge::closeInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
}

std::optional<std::string> Bridge::line(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        if (auto nl = buffered_.find('\n'); nl != std::string::npos) {
            std::string text = buffered_.substr(0, nl);
            buffered_.erase(0, nl + 1);
            return text;
        }
        if (left(deadline) == 0ms || !readSome(out_, buffered_, left(deadline))) return std::nullopt;
    }
}

std::string Bridge::rest(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (left(deadline) > 0ms && readSome(out_, buffered_, left(deadline))) {
    }
    return std::exchange(buffered_, {});
}

std::size_t Bridge::unreadOutput() const {
    int n = 0;
    return ::ioctl(out_, FIONREAD, &n) == 0 && n > 0 ? static_cast<std::size_t>(n) : 0;
}

std::string Bridge::errors() {
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(err_, buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
    return text;
}

int Bridge::wait(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (!status_) {
        int raw = 0;
        pid_t r = ::waitpid(pid_, &raw, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        } else if (left(deadline) == 0ms) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            status_ = -1;
        } else {
            std::this_thread::sleep_for(10ms);
        }
    }
    return *status_;
}
