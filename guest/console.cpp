// The terminal side of the virtual MIDI machine's bridge (boot.sh run):
//   guest_console TO_GUEST FROM_GUEST
// copies lines from standard input to the guest and the bridge's lines from
// the guest to standard output. When input ends it waits for an answer to
// every request it passed on, or for a quiet spell, before it tells the guest
// that input has ended: the bridge ends at once with its input, and the
// answers still due would be lost. A terminal on standard input is read a
// byte at a time with our own line editing, since the terminal's own cuts
// lines at 4095 bytes.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

#include "protocol/accept.h"

namespace {

using Clock = std::chrono::steady_clock;

// With no line from the bridge for this long, nothing more is coming.
constexpr auto quiet = std::chrono::seconds(3);

// The guest's bridge reads this line as the end of its input.
constexpr std::string_view endOfInput = "\004\n";

termios saved;
bool restore = false;

void restoreTerminal() {
    if (restore) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
}

void onSignal(int sig) {
    restoreTerminal();
    ::_exit(128 + sig);
}

// Reads the terminal a byte at a time; its signal keys still work.
void takeTerminal() {
    if (::tcgetattr(STDIN_FILENO, &saved) != 0) return;
    termios raw = saved;
    raw.c_lflag &= ~(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    restore = true;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) ::signal(sig, onSignal);
    ::tcsetattr(STDIN_FILENO, TCSANOW, &raw);
}

void writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

// What has been asked and answered so far.
struct Tally {
    long sends = 0, portsCommands = 0;  // passed on
    long replies = 0, reports = 0;      // come back, the start-up report included
    bool failed = false;                // the bridge could not start

    void asked(std::string_view line) {
        Request request;
        if (!accept(line, request)) return;  // dropped without an answer
        ++(request.ports ? portsCommands : sends);
    }
    void answered(std::string_view line) {
        if (line.starts_with("{\"id\":")) ++replies;
        if (line.starts_with("{\"ports\":")) ++reports;
        if (line.starts_with("{\"error\":")) failed = true;
    }
    bool done() const { return failed || (replies >= sends && reports > portsCommands); }
};

// Lines typed on a terminal: erase and kill work on what is not yet sent.
struct Editor {
    std::string line;
    bool ended = false;

    // Takes one byte; true when it completes a line.
    bool take(char c) {
        switch (c) {
        case '\n':
        case '\r':
            writeAll(STDOUT_FILENO, "\n");
            return true;
        case '\x7f':
        case '\b':
            if (!line.empty()) {
                eraseOne();
                writeAll(STDOUT_FILENO, "\b \b");
            }
            return false;
        case '\x15':  // kill
            while (!line.empty()) {
                eraseOne();
                writeAll(STDOUT_FILENO, "\b \b");
            }
            return false;
        case '\x04':  // end of input, on an empty line only
            ended = ended || line.empty();
            return false;
        default:
            line += c;
            writeAll(STDOUT_FILENO, {&c, 1});
            return false;
        }
    }
    // Removes the last character, all of its UTF-8 bytes.
    void eraseOne() {
        while (!line.empty() && (static_cast<unsigned char>(line.back()) & 0xc0) == 0x80) line.pop_back();
        if (!line.empty()) line.pop_back();
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: guest_console TO_GUEST FROM_GUEST\n", stderr);
        return 2;
    }
    int from = ::open(argv[2], O_RDONLY | O_CLOEXEC);
    if (from < 0) return 1;
    // The guest's first byte says it is listening: input sent earlier could be lost.
    char first;
    if (::read(from, &first, 1) != 1) return 1;
    // Written as it takes it, so that a full pipe never stops us reading.
    int to = ::open(argv[1], O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (to < 0) return 1;

    bool terminal = ::isatty(STDIN_FILENO);
    if (terminal) takeTerminal();
    Editor editor;
    Tally tally;
    std::string typed;    // piped input: the start of a line
    std::string pending;  // for the guest, not yet written
    std::string answer;   // from the guest: the start of a line
    bool inputOpen = true, told = false;
    auto lastHeard = Clock::now();
    auto pass = [&](std::string_view line) {
        tally.asked(line);
        pending.append(line).push_back('\n');
    };
    char buf[1 << 16];
    for (;;) {
        if (!inputOpen && !told && pending.empty() && (tally.done() || Clock::now() - lastHeard >= quiet)) {
            pending = endOfInput;
            told = true;
        }
        pollfd fds[3] = {{from, POLLIN, 0}, {to, pending.empty() ? short(0) : short(POLLOUT), 0},
                         {STDIN_FILENO, inputOpen ? short(POLLIN) : short(0), 0}};
        if (::poll(fds, 3, inputOpen || told ? -1 : 100) < 0 && errno != EINTR) break;
        if (fds[0].revents) {
            ssize_t n = ::read(from, buf, sizeof buf);
            if (n <= 0) break;
            writeAll(STDOUT_FILENO, {buf, static_cast<std::size_t>(n)});
            lastHeard = Clock::now();
            answer.append(buf, static_cast<std::size_t>(n));
            std::size_t start = 0;
            for (auto nl = answer.find('\n'); nl != std::string::npos; nl = answer.find('\n', start)) {
                tally.answered(std::string_view(answer).substr(start, nl - start));
                start = nl + 1;
            }
            answer.erase(0, start);
        }
        if (fds[1].revents) {
            ssize_t n = ::write(to, pending.data(), pending.size());
            if (n > 0) pending.erase(0, static_cast<std::size_t>(n));
            if (n < 0 && errno != EINTR && errno != EAGAIN) break;
        }
        if (fds[2].revents) {
            ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
            // A terminal shared with another program may have been made non-blocking.
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            for (ssize_t i = 0; i < n; ++i) {
                if (terminal) {
                    if (editor.take(buf[i])) {
                        pass(editor.line);
                        editor.line.clear();
                    }
                } else if (buf[i] == '\n') {
                    pass(typed);
                    typed.clear();
                } else {
                    typed += buf[i];
                }
            }
            if (n <= 0 || editor.ended) {
                if (!typed.empty()) pass(typed);
                inputOpen = false;
                lastHeard = Clock::now();
            }
        }
    }
    restoreTerminal();
    return 0;
}
