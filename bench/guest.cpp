// The bridge on a real sequencer, each figure beside its floor in the same run:
// throughput against a loop of bare direct sends and against a loop doing the
// sequencer work of a full enumeration per message, and again among 500 more
// destinations; round trips against a bare pipe echo over the same pipes (and
// that echo against busybox cat), and to a USB MIDI device against Midi
// Through from the same bridge; start-up against `aconnect -o`; how many of
// 20,000 sends reach a destination of our own within 2 s while the host reads
// no reply, against a host that reads all along; resident memory, CPU time and
// threads around a burst of a million requests, and again with a host that
// reads nothing for its first 2 s. Runs inside the virtual MIDI machine
// (boot.sh bench); prints "@@bench NAME VALUE UNIT" lines.
//   guest_bench BRIDGE ACONNECT   measures everything
//   guest_bench echo              the bare echo: copies its input to its output as it comes
//   guest_bench sendecho          the same, sending one note-on to Midi Through per line

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <stdexcept>
#include <thread>
#include <vector>

#include "proc.h"
#include "usb.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Two threads may fail at once (the burst's writer and its reader); one says why.
[[noreturn]] void die(const char* what) {
    static std::mutex once;
    once.lock();
    std::printf("@@bench-error %s\n", what);
    std::fflush(stdout);
    std::_Exit(1);
}

struct Child {
    pid_t pid = -1;
    int in = -1;   // its standard input
    int out = -1;  // its standard output
    std::string buffered;

    Child(const char* path, const char* arg) {
        int i[2], o[2];
        if (::pipe(i) != 0 || ::pipe(o) != 0) die("pipe");
        pid = ::fork();
        if (pid == 0) {
            std::signal(SIGPIPE, SIG_DFL);
            ::dup2(i[0], 0);
            ::dup2(o[1], 1);
            ::close(i[0]), ::close(i[1]), ::close(o[0]), ::close(o[1]);
            ::execl(path, path, arg, static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(i[0]);
        ::close(o[1]);
        in = i[1];
        out = o[0];
    }
    ~Child() {
        if (in >= 0) ::close(in);
        ::close(out);
        ::waitpid(pid, nullptr, 0);
    }
    // Its wait status once it has gone, within 2 s; false while it still runs.
    bool ended(int* status) const {
        for (int i = 0; i < 100; ++i) {
            if (::waitpid(pid, status, WNOHANG) == pid) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    [[noreturn]] void lost(const char* what) const {
        int status = 0;
        std::string why = !ended(&status)       ? "it still runs"
                          : WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                                : "exit status " + std::to_string(WEXITSTATUS(status));
        die((std::string(what) + ", " + why).c_str());
    }
    // False once the child's input is closed.
    bool send(const std::string& text) const {
        for (std::size_t done = 0; done < text.size();) {
            ssize_t n = ::write(in, text.data() + done, text.size() - done);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    void write(const std::string& text) const {
        if (!send(text)) lost("write to child");
    }
    std::string line() {
        for (;;) {
            if (auto nl = buffered.find('\n'); nl != std::string::npos) {
                std::string text = buffered.substr(0, nl);
                buffered.erase(0, nl + 1);
                return text;
            }
            char buf[1 << 16];
            ssize_t n = ::read(out, buf, sizeof buf);
            if (n <= 0) lost("child output ended");
            buffered.append(buf, static_cast<std::size_t>(n));
        }
    }
    struct Replies {
        long lines = 0, ok = 0;  // ok: lines that held "ok":true
    };
    // Reads until count more line feeds, or the end of the child's output.
    Replies lines(long count) {
        Replies r;
        std::string tail = buffered;
        buffered.clear();
        r.lines = std::count(tail.begin(), tail.end(), '\n');
        char buf[1 << 16];
        while (r.lines < count) {
            ssize_t n = ::read(out, buf, sizeof buf);
            if (n <= 0) break;
            tail.append(buf, static_cast<std::size_t>(n));
            r.lines += std::count(buf, buf + n, '\n');
            // Scanned in place: erasing each match from the front would cost
            // this thread more than the bridge spends on a request.
            std::size_t from = 0;
            for (std::size_t at; (at = tail.find("\"ok\":true", from)) != std::string::npos;) {
                ++r.ok;
                from = at + 9;
            }
            // What is left may hold the start of a match, never a whole one.
            tail.erase(0, std::max(from, tail.size() > 16 ? tail.size() - 16 : 0));
        }
        return r;
    }
};

std::string request(long id, const char* dest = "Midi Through Port-0") {
    return "{\"id\":" + std::to_string(id) + ",\"dest\":\"" + dest + "\",\"bytes\":[144,60,100]}\n";
}

void print(const char* name, double value, const char* unit) {
    std::printf("@@bench %s %.6g %s\n", name, value, unit);
    std::fflush(stdout);
}

constexpr long messages = 20'000;

// Sequencer clients of writable MIDI ports, made here and alive until destroyed:
// destinations the bridge lists and looks past. Port names start with "crowd ".
class Crowd {
public:
    Crowd(int clients, int ports) {
        for (int c = 0; c < clients; ++c) {
            snd_seq_t* seq = nullptr;
            if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) die("crowd client");
            seqs_.push_back(seq);
            std::string name = "crowd " + std::to_string(c);
            if (snd_seq_set_client_name(seq, name.c_str()) < 0) die("crowd client name");
            for (int p = 0; p < ports; ++p) {
                std::string port = name + "-" + std::to_string(p);
                if (snd_seq_create_simple_port(seq, port.c_str(), SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                               SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION) < 0)
                    die("crowd port");
            }
        }
    }
    ~Crowd() {
        for (snd_seq_t* seq : seqs_) snd_seq_close(seq);
    }
    Crowd(const Crowd&) = delete;
    Crowd& operator=(const Crowd&) = delete;

private:
    std::vector<snd_seq_t*> seqs_;
};

constexpr int crowdClients = 50, crowdPorts = 10;

long count(const std::string& text, const std::string& what) {
    long n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

// All requests written as fast as the pipe takes them, by a second thread, while
// this one reads; the time runs from the first write to the last reply. The
// first ports report must list exactly `crowd` destinations of a Crowd.
double bridgeThroughput(const char* bridge, long crowd) {
    Child child(bridge, nullptr);
    if (count(child.line(), "\"name\":\"crowd ") != crowd) die("the ports report lists another crowd");
    std::string all;
    for (long i = 1; i <= messages; ++i) all += request(i);
    auto start = Clock::now();
    std::thread writer([&] { child.write(all); });
    auto replies = child.lines(messages);
    auto elapsed = Clock::now() - start;
    if (replies.lines < messages) child.lost("child output ended");
    writer.join();
    if (replies.ok != messages) die("a send request failed");
    return messages / seconds(elapsed);
}

// A client of one output port, the floors' sender.
struct Sender {
    snd_seq_t* seq = nullptr;
    int self = -1, port = -1;

    Sender() {
        if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) die("snd_seq_open");
        snd_seq_set_client_name(seq, "floor");
        self = snd_seq_client_id(seq);
        port = snd_seq_create_simple_port(seq, "floor out", SND_SEQ_PORT_CAP_READ, SND_SEQ_PORT_TYPE_MIDI_GENERIC);
        if (port < 0) die("floor port");
    }
    ~Sender() { snd_seq_close(seq); }
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    // One note-on, sent directly; what every send request comes down to.
    void noteOn(int destClient, int destPort) const {
        snd_seq_event_t ev;
        snd_seq_ev_clear(&ev);
        snd_seq_ev_set_source(&ev, static_cast<unsigned char>(port));
        snd_seq_ev_set_dest(&ev, static_cast<unsigned char>(destClient), static_cast<unsigned char>(destPort));
        snd_seq_ev_set_direct(&ev);
        snd_seq_ev_set_noteon(&ev, 0, 60, 100);
        if (snd_seq_event_output_direct(seq, &ev) < 0) die("floor send");
    }
};

// "Midi Through Port-0" found by one enumeration of every client and port, as
// a directory build makes it.
snd_seq_addr_t findThrough(const Sender& sender) {
    snd_seq_client_info_t* client;
    snd_seq_port_info_t* info;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&info);
    snd_seq_addr_t found{};
    bool seen = false;
    snd_seq_client_info_set_client(client, -1);
    while (snd_seq_query_next_client(sender.seq, client) == 0) {
        int c = snd_seq_client_info_get_client(client);
        if (c == SND_SEQ_CLIENT_SYSTEM || c == sender.self) continue;
        snd_seq_port_info_set_client(info, c);
        snd_seq_port_info_set_port(info, -1);
        while (snd_seq_query_next_port(sender.seq, info) == 0)
            if (!seen && std::strcmp(snd_seq_port_info_get_name(info), "Midi Through Port-0") == 0) {
                found = *snd_seq_port_info_get_addr(info);
                seen = true;
            }
    }
    if (!seen) die("no Midi Through Port-0");
    return found;
}

// Nothing but the send: one note-on after another to an address looked up once.
// More messages than the bridge gets, as each takes only microseconds.
double sendFloorThroughput() {
    Sender sender;
    snd_seq_addr_t dest = findThrough(sender);
    constexpr long sends = messages * 5;
    auto start = Clock::now();
    for (long i = 0; i < sends; ++i) sender.noteOn(dest.client, dest.port);
    auto elapsed = Clock::now() - start;
    return sends / seconds(elapsed);
}

// The sequencer work of a send that enumerates every client and port first,
// then sends one event directly.
double enumerateFloorThroughput() {
    Sender sender;
    auto start = Clock::now();
    for (long i = 0; i < messages; ++i) {
        snd_seq_addr_t dest = findThrough(sender);
        sender.noteOn(dest.client, dest.port);
    }
    auto elapsed = Clock::now() - start;
    return messages / seconds(elapsed);
}

// A destination of our own, one writable port named as its client, whose
// reader thread notes the time each note-on arrives. Made before the bridge
// starts, so that its first ports report lists it.
class Receiver {
public:
    static constexpr const char* name = "bench receiver";

    explicit Receiver(long capacity) : times_(static_cast<std::size_t>(capacity)) {
        if (snd_seq_open(&seq_, "default", SND_SEQ_OPEN_INPUT, SND_SEQ_NONBLOCK) < 0) die("receiver client");
        if (snd_seq_set_client_name(seq_, name) < 0) die("receiver client name");
        if (snd_seq_create_simple_port(seq_, name, SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                       SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION) < 0)
            die("receiver port");
        // The most the sequencer holds for one client, so that the events of a
        // while in which this thread does not run wait there; beyond it the
        // sender is refused and what is queued is dropped.
        if (snd_seq_set_client_pool_input(seq_, 2000) < 0) die("receiver input pool");
        // Many events a read, so that reading keeps up at little cost.
        if (snd_seq_set_input_buffer_size(seq_, 2000 * sizeof(snd_seq_event_t)) < 0) die("receiver input buffer");
        stop_ = ::eventfd(0, EFD_CLOEXEC);
        if (stop_ < 0) die("eventfd");
        reader_ = std::thread(&Receiver::readLoop, this);
    }
    ~Receiver() {
        std::uint64_t one = 1;
        if (::write(stop_, &one, sizeof one) != sizeof one) die("receiver stop");
        reader_.join();
        ::close(stop_);
        snd_seq_close(seq_);
    }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    long received() const { return count_.load(std::memory_order_acquire); }
    // Times the sequencer told us it had dropped our queued events.
    long overruns() const { return overruns_.load(); }
    // Waits until count note-ons have come, or for timeout; how many came.
    long waitFor(long count, Clock::duration timeout) const {
        auto until = Clock::now() + timeout;
        while (received() < count && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return received();
    }
    // How many came by then.
    long by(Clock::time_point then) const {
        auto n = std::min(received(), static_cast<long>(times_.size()));
        return std::upper_bound(times_.begin(), times_.begin() + n, then) - times_.begin();
    }
    // When the last one came.
    Clock::time_point last() const {
        auto n = std::min(received(), static_cast<long>(times_.size()));
        return n > 0 ? times_[static_cast<std::size_t>(n - 1)] : Clock::time_point{};
    }

private:
    // Drains the queue each time it has something, so that it never fills.
    // Woken by every event, it would take the guest's one CPU from the bridge
    // for each and hold the bridge to a fraction of its pace; so after each
    // drain it lets a millisecond's events gather, far fewer than the queue
    // holds at any pace the bridge reaches. Times may be that much late.
    void readLoop() {
        int count = snd_seq_poll_descriptors_count(seq_, POLLIN);
        std::vector<pollfd> fds(static_cast<std::size_t>(count) + 1);
        snd_seq_poll_descriptors(seq_, fds.data(), static_cast<unsigned>(count), POLLIN);
        fds.back() = {stop_, POLLIN, 0};
        for (;;) {
            if (::poll(fds.data(), fds.size(), -1) < 0) continue;
            if (fds.back().revents) return;
            for (;;) {
                snd_seq_event_t* ev = nullptr;
                int err = snd_seq_event_input(seq_, &ev);
                if (err == -ENOSPC) {
                    ++overruns_;
                    continue;
                }
                if (err < 0 || !ev) break;
                auto now = Clock::now();
                if (ev->type != SND_SEQ_EVENT_NOTEON) continue;
                long n = count_.load(std::memory_order_relaxed);
                if (n < static_cast<long>(times_.size())) times_[static_cast<std::size_t>(n)] = now;
                count_.store(n + 1, std::memory_order_release);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    snd_seq_t* seq_ = nullptr;
    int stop_ = -1;  // an eventfd that wakes the reader to end it
    std::vector<Clock::time_point> times_;
    std::atomic<long> count_ = 0;
    std::atomic<long> overruns_ = 0;
    std::thread reader_;
};

struct Delivery {
    double withinPct = 0;  // of the sends, received within 2 s of the first write
    double lastSeconds = 0;  // first write to the last event received
    long lost = 0, overruns = 0;
};

// A bridge sends to a Receiver: all requests written as fast as the pipe takes
// them by a second thread, while this one reads the replies from the start or
// only from `stall` after the first write. A bridge whose sends wait on the
// host's reading gets few through while it does not read.
Delivery delivery(const char* bridge, Clock::duration stall) {
    Receiver receiver(messages);
    Child child(bridge, nullptr);
    if (child.line().find(std::string("\"name\":\"") + Receiver::name + "\"") == std::string::npos)
        die("the first ports report lists no bench receiver");
    std::string all;
    for (long i = 1; i <= messages; ++i) all += request(i, Receiver::name);
    auto start = Clock::now();
    std::thread writer([&] { child.write(all); });
    std::this_thread::sleep_until(start + stall);
    auto replies = child.lines(messages);
    if (replies.lines < messages) child.lost("child output ended");
    writer.join();
    Delivery d;
    d.lost = messages - receiver.waitFor(messages, std::chrono::seconds(5));
    d.overruns = receiver.overruns();
    d.withinPct = 100.0 * static_cast<double>(receiver.by(start + std::chrono::seconds(2))) / messages;
    d.lastSeconds = seconds(receiver.last() - start);
    if (replies.ok != messages)
        die((std::to_string(messages - replies.ok) + " sends to the bench receiver failed; it lost " +
             std::to_string(d.lost) + " events in " + std::to_string(d.overruns) + " overruns")
                .c_str());
    return d;
}

struct Percentiles {
    double p50, p99;
};

Percentiles percentiles(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    return {times[times.size() / 2], times[times.size() * 99 / 100]};
}

struct RoundTrips {
    Percentiles bridge, echo, sender, cat;
};

// Sequential request and reply pairs, in microseconds, taken in turn from the
// bridge, the bare echo, the echo that sends and busybox cat, all alive at
// once, so that a slow phase of the machine hits every side. An echo's reply
// is the request itself.
RoundTrips roundTrips(const char* bridge, const char* self) {
    Child children[] = {{bridge, nullptr}, {self, "echo"}, {self, "sendecho"}, {"/bin/cat", nullptr}};
    children[0].line();
    constexpr int sides = 4;
    std::vector<double> times[sides];
    constexpr int pairs = 2000, warmup = 100;
    for (auto& t : times) t.reserve(pairs);
    for (int i = 1; i <= pairs + warmup; ++i) {
        std::string text = request(i);
        for (int c = 0; c < sides; ++c) {
            auto start = Clock::now();
            children[c].write(text);
            std::string reply = children[c].line();
            auto elapsed = Clock::now() - start;
            bool good = c == 0 ? reply.find("\"ok\":true") != std::string::npos : reply + "\n" == text;
            if (!good) die("a round trip failed");
            if (i > warmup) times[c].push_back(seconds(elapsed) * 1e6);
        }
    }
    return {percentiles(times[0]), percentiles(times[1]), percentiles(times[2]), percentiles(times[3])};
}

struct UsbTrips {
    Percentiles usb, through;
};

// A 3-byte message to dest; by step, note-on and note-off in turn over two
// octaves, so that the device is not fed the same bytes over and over.
std::string noteRequest(long id, int step, const char* dest) {
    bool on = step % 2 == 1;
    int note = 48 + (step - 1) / 2 % 24;
    return "{\"id\":" + std::to_string(id) + ",\"dest\":\"" + dest + "\",\"bytes\":[" + (on ? "144," : "128,") +
           std::to_string(note) + (on ? ",100]}" : ",0]}") + "\n";
}

// Sequential round trips, in microseconds, to a USB MIDI device on the software
// USB bus and to Midi Through, in turn from one bridge, so that a slow phase of
// the machine hits both. The first send to the device connects the bridge to
// it, so the warm-up also takes that out of the figures. Every byte sent to the
// device must have reached it by the end, or the figures mean nothing.
UsbTrips usbRoundTrips(const char* bridge) {
    constexpr int pairs = 1000, warmup = 100;
    std::vector<double> times[2];
    for (auto& t : times) t.reserve(pairs);
    try {
        UsbMidiDevice device("bench");
        if (!device.plug(0)) die("the USB MIDI device did not come up");
        {
            Child child(bridge, nullptr);
            if (child.line().find(std::string("\"name\":\"") + usbPortName + "\"") == std::string::npos)
                die("the first ports report lists no USB MIDI device");
            const char* dests[] = {usbPortName, "Midi Through Port-0"};
            long id = 0;
            for (int i = 1; i <= pairs + warmup; ++i)
                for (int d = 0; d < 2; ++d) {
                    std::string text = noteRequest(++id, i, dests[d]);
                    std::string tag = "{\"id\":" + std::to_string(id) + ",";
                    auto start = Clock::now();
                    child.write(text);
                    std::string reply = child.line();
                    // A change of ports may be reported in between; it is no reply.
                    while (reply.rfind("{\"ports\":", 0) == 0) reply = child.line();
                    auto elapsed = Clock::now() - start;
                    if (reply.rfind(tag, 0) != 0 || reply.find("\"ok\":true") == std::string::npos)
                        die(((d == 0 ? "a USB round trip failed: " : "a Midi Through round trip failed: ") + reply)
                                .c_str());
                    if (i > warmup) times[d].push_back(seconds(elapsed) * 1e6);
                }
        }
        // Note-on and note-off alternate, so no running status shortens them.
        constexpr std::size_t sent = 3 * (pairs + warmup);
        if (!device.waitForBytes(sent, 10s))
            die(("the USB MIDI device received " + std::to_string(device.bytes().size()) + " of " +
                 std::to_string(sent) + " bytes")
                    .c_str());
        device.unplug();
    } catch (const std::exception& e) {
        die((std::string("USB MIDI device: ") + e.what()).c_str());
    }
    return {percentiles(times[0]), percentiles(times[1])};
}

// From fork to the first line, or for aconnect to the end of its listing; the
// median of several starts, in milliseconds.
double startup(const char* program, const char* arg, bool wholeOutput) {
    std::vector<double> times;
    for (int i = 0; i < 21; ++i) {
        auto start = Clock::now();
        Child child(program, arg);
        if (wholeOutput) {
            char buf[4096];
            while (::read(child.out, buf, sizeof buf) > 0) {
            }
        } else if (child.line().rfind("{\"ports\":", 0) != 0) {
            die("the first line is no ports report");
        }
        times.push_back(seconds(Clock::now() - start) * 1e3);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// A field of /proc/PID/status in KiB, such as "VmRSS:" or "VmHWM:"; -1 when
// there is none (a process that has ended has no memory fields). Of
// /proc/PID/smaps_rollup ("Rss:", "Anonymous:") with file "smaps_rollup".
long statusKiB(pid_t pid, const char* field, const char* file = "status") {
    std::ifstream status("/proc/" + std::to_string(pid) + "/" + file);
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
    return -1;
}

long residentKiB(pid_t pid, const char* field) {
    long kib = statusKiB(pid, field);
    if (kib < 0) die("no memory figures in /proc/PID/status");
    return kib;
}

// Resident memory as a walk of the process's page tables finds it. VmRSS
// comes from counters that 6.1 keeps per thread and adds up only every so
// many page faults, so there it can lag by megabytes.
long mappedKiB(pid_t pid, const char* field) {
    long kib = statusKiB(pid, field, "smaps_rollup");
    if (kib < 0) die("no memory figures in /proc/PID/smaps_rollup");
    return kib;
}

// User and system clock ticks the process has used.
long usedTicks(pid_t pid) {
    long ticks = cpuTicks(pid);
    if (ticks < 0) die("no CPU times in /proc/PID/stat");
    return ticks;
}

long threads(pid_t pid) {
    long n = threadCount(pid);
    if (n < 0) die("no threads in /proc/PID/task");
    return n;
}

// Starts VmHWM again from the current VmRSS, so that it holds the peak of what follows.
void resetPeak(pid_t pid) {
    std::ofstream clear("/proc/" + std::to_string(pid) + "/clear_refs");
    clear << "5\n";
    clear.flush();
    if (!clear) die("clear_refs");
}

struct Footprint {
    long threadsStart = 0, threadsAfter = 0;  // at the first line and at the last reply
    long before = 0, peak = 0, last = 0, after = 0;  // VmRSS and VmHWM, KiB
    // From the page tables: all that is resident, and the anonymous part of
    // it (the heap and stacks, no mapped files).
    long walkedBefore = 0, walkedAfter = 0, anonBefore = 0, anonAfter = 0;
    long idleTicks = 0;
    double seconds = 0;  // first write to last reply
    // A bridge that ended during the burst: its replies, wait status and the
    // last peak seen while it ran.
    long replies = 0;
    int status = 0;
    bool ended = false;
};

constexpr long burst = 1'000'000;

// One bridge in service (its first requests answered one by one), then a
// million requests written as fast as the pipe takes them by a second thread
// while this one reads the replies: resident memory before, at the peak, at
// the last reply and 1 s after it, and CPU ticks over the 2 s after it. A
// third thread reads the peak as it goes, for a bridge that does not survive.
// With a stall, this thread reads nothing until that long after the first write.
Footprint burstFootprint(const char* bridge, Clock::duration stall = {}) {
    Footprint f;
    Child child(bridge, nullptr);
    child.line();
    f.threadsStart = threads(child.pid);
    for (int i = 1; i <= 100; ++i) {
        child.write(request(i));
        if (child.line().find("\"ok\":true") == std::string::npos) die("a request before the burst failed");
    }
    std::string batch;
    for (long i = 1; i <= 1000; ++i) batch += request(i);

    f.before = residentKiB(child.pid, "VmRSS:");
    f.walkedBefore = mappedKiB(child.pid, "Rss:");
    f.anonBefore = mappedKiB(child.pid, "Anonymous:");
    resetPeak(child.pid);
    std::atomic<long> seen = f.before;
    std::atomic<bool> done = false;
    std::thread sampler([&] {
        while (!done) {
            if (long peak = statusKiB(child.pid, "VmHWM:"); peak > 0) seen = peak;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    auto start = Clock::now();
    std::thread writer([&] {
        for (long sent = 0; sent < burst && child.send(batch); sent += 1000) {
        }
    });
    std::this_thread::sleep_until(start + stall);
    auto replies = child.lines(burst);
    auto end = Clock::now();
    done = true;
    sampler.join();
    if (replies.lines < burst) {
        writer.join();
        f.replies = replies.lines;
        f.peak = seen;
        f.ended = child.ended(&f.status);
        if (!f.ended) die("the bridge's output ended during the burst, and the bridge still runs");
        return f;
    }
    long ticks = usedTicks(child.pid);
    f.threadsAfter = threads(child.pid);
    f.last = residentKiB(child.pid, "VmRSS:");
    f.peak = residentKiB(child.pid, "VmHWM:");
    writer.join();
    if (replies.ok != burst) die("a send request of the burst failed");
    f.replies = replies.lines;
    f.seconds = seconds(end - start);
    std::this_thread::sleep_until(end + std::chrono::seconds(1));
    f.after = residentKiB(child.pid, "VmRSS:");
    f.walkedAfter = mappedKiB(child.pid, "Rss:");
    f.anonAfter = mappedKiB(child.pid, "Anonymous:");
    std::this_thread::sleep_until(end + std::chrono::seconds(2));
    f.idleTicks = usedTicks(child.pid) - ticks;
    return f;
}

// A burst's figures as PREFIX_NAME; false when its bridge ended during it.
bool report(const std::string& prefix, const Footprint& f) {
    auto put = [&](const char* name, double value, const char* unit) { print((prefix + name).c_str(), value, unit); };
    put("_rss_before", static_cast<double>(f.before), "KiB");
    put("_rss_peak", static_cast<double>(f.peak), "KiB");
    if (f.ended) {
        put("_ended_replies", static_cast<double>(f.replies), "replies");
        if (WIFSIGNALED(f.status)) put("_ended_signal", WTERMSIG(f.status), "signal");
        else put("_ended_status", WEXITSTATUS(f.status), "status");
        return false;
    }
    put("_seconds", f.seconds, "s");
    put("_rss_last", static_cast<double>(f.last), "KiB");
    put("_rss_after_1s", static_cast<double>(f.after), "KiB");
    put("_walked_before", static_cast<double>(f.walkedBefore), "KiB");
    put("_walked_after_1s", static_cast<double>(f.walkedAfter), "KiB");
    put("_anon_before", static_cast<double>(f.anonBefore), "KiB");
    put("_anon_after_1s", static_cast<double>(f.anonAfter), "KiB");
    put("_idle_ticks_2s", static_cast<double>(f.idleTicks), "ticks");
    return true;
}

// Copies its input to its output as it comes, with no look at lines: the
// least a child at the other end of the same pipes can do.
int echo() {
    char buf[1 << 16];
    for (ssize_t n; (n = ::read(0, buf, sizeof buf)) > 0;)
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::write(1, buf + done, static_cast<std::size_t>(n - done));
            if (w <= 0) return 1;
            done += w;
        }
    return 0;
}

// The bare echo that also sends one note-on to Midi Through per line it
// takes, before it copies the input back: the least a bridge does for a send.
int sendEcho() {
    Sender sender;
    snd_seq_addr_t dest = findThrough(sender);
    char buf[1 << 16];
    for (ssize_t n; (n = ::read(0, buf, sizeof buf)) > 0;) {
        for (ssize_t i = 0; i < n; ++i)
            if (buf[i] == '\n') sender.noteOn(dest.client, dest.port);
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::write(1, buf + done, static_cast<std::size_t>(n - done));
            if (w <= 0) return 1;
            done += w;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // A child that dies under a burst shows as a failed write, not a silent end.
    std::signal(SIGPIPE, SIG_IGN);
    if (argc == 2 && std::strcmp(argv[1], "echo") == 0) return echo();
    if (argc == 2 && std::strcmp(argv[1], "sendecho") == 0) return sendEcho();
    if (argc != 3) {
        std::fprintf(stderr, "usage: guest_bench BRIDGE ACONNECT | guest_bench echo | guest_bench sendecho\n");
        return 2;
    }
    const char* bridge = argv[1];
    const char* aconnect = argv[2];
    char self[4096];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) die("readlink");
    self[n] = 0;

    // Alternated, so that a slow phase of the machine hits every side; the best
    // of each. The crowd is made before its bridge starts and outlives its run.
    double bridgeRate = 0, crowdRate = 0, sendRate = 0, enumerateRate = 0;
    for (int round = 0; round < 3; ++round) {
        bridgeRate = std::max(bridgeRate, bridgeThroughput(bridge, 0));
        sendRate = std::max(sendRate, sendFloorThroughput());
        enumerateRate = std::max(enumerateRate, enumerateFloorThroughput());
        Crowd crowd(crowdClients, crowdPorts);
        crowdRate = std::max(crowdRate, bridgeThroughput(bridge, crowdClients * crowdPorts));
    }
    print("throughput_bridge", bridgeRate, "msg/s");
    print("throughput_bridge_crowd", crowdRate, "msg/s");
    print("throughput_send_floor", sendRate, "msg/s");
    print("throughput_enumerate_floor", enumerateRate, "msg/s");

    // Alternated too, the best of each.
    Delivery reading, stalled;
    for (int round = 0; round < 3; ++round) {
        auto r = delivery(bridge, {});
        if (round == 0 || r.withinPct > reading.withinPct) reading = r;
        auto s = delivery(bridge, std::chrono::seconds(2));
        if (round == 0 || s.withinPct > stalled.withinPct) stalled = s;
    }
    auto delivered = [](const std::string& prefix, const Delivery& d) {
        print((prefix + "_within_2s_pct").c_str(), d.withinPct, "%");
        print((prefix + "_last_event_s").c_str(), d.lastSeconds, "s");
        if (d.lost > 0) print((prefix + "_lost_events").c_str(), static_cast<double>(d.lost), "events");
        if (d.overruns > 0) print((prefix + "_overruns").c_str(), static_cast<double>(d.overruns), "overruns");
    };
    delivered("reading_host", reading);
    delivered("stalled_host", stalled);

    auto trips = roundTrips(bridge, self);
    print("roundtrip_bridge_p50", trips.bridge.p50, "us");
    print("roundtrip_bridge_p99", trips.bridge.p99, "us");
    print("roundtrip_echo_p50", trips.echo.p50, "us");
    print("roundtrip_echo_p99", trips.echo.p99, "us");
    print("roundtrip_sendecho_p50", trips.sender.p50, "us");
    print("roundtrip_sendecho_p99", trips.sender.p99, "us");
    print("roundtrip_cat_p50", trips.cat.p50, "us");
    print("roundtrip_cat_p99", trips.cat.p99, "us");

    auto usb = usbRoundTrips(bridge);
    print("roundtrip_usb_p50", usb.usb.p50, "us");
    print("roundtrip_usb_p99", usb.usb.p99, "us");
    print("roundtrip_through_p50", usb.through.p50, "us");
    print("roundtrip_through_p99", usb.through.p99, "us");

    print("startup_bridge", startup(bridge, nullptr, false), "ms");
    print("startup_aconnect", startup(aconnect, "-o", true), "ms");

    // Last: the longest, and what they leave behind touches nothing above.
    // Each burst has a bridge of its own.
    auto f = burstFootprint(bridge);
    print("bridge_threads_start", static_cast<double>(f.threadsStart), "threads");
    if (report("burst", f)) print("bridge_threads_after_burst", static_cast<double>(f.threadsAfter), "threads");
    print("bridge_threads", static_cast<double>(std::max(f.threadsStart, f.threadsAfter)), "threads");
    report("stalled_burst", burstFootprint(bridge, std::chrono::seconds(2)));
    return 0;
}
