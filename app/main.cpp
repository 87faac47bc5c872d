#include <cstdio>
#include <cstring>

#include "app/startup.h"

namespace {

constexpr char usage[] =
    "Usage: quorvane-monitor\n"
    "       quorvane-monitor --help | --version\n"
    "\n"
    "A MIDI output bridge for a host application, on the ALSA sequencer. Started\n"
    "with no arguments, it writes a report of the MIDI destinations, then reads\n"
    "one JSON request a line on standard input and answers each on standard\n"
    "output, one JSON message a line:\n"
    "  {\"cmd\":\"ports\"}                              reports the destinations\n"
    "  {\"id\":1,\"dest\":\"NAME\",\"bytes\":[144,60,100]}  sends the bytes to NAME\n"
    "It ends when standard input ends. See quorvane-monitor(1).\n"
    "\n"
    "  --help     print this text and exit\n"
    "  --version  print the name and version and exit\n";

// Writes text to standard output; true when all of it went out.
bool print(const char* text) { return std::fputs(text, stdout) >= 0 && std::fflush(stdout) == 0; }

}  // namespace

// A host starts the bridge with no arguments; only a lone --help or
// --version is taken, and any other arguments are ignored.
int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) return print(usage) ? 0 : 1;
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
        return print("quorvane-monitor " BRIDGE_VERSION "\n") ? 0 : 1;
    return startup();
}
