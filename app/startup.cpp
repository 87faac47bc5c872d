#include "app/startup.h"

#include <fcntl.h>

#include <cerrno>

#include "app/loop.h"
#include "midi/report.h"
#include "midi/state.h"
#include "protocol/messages.h"

midi::Ref client;
midi::Ref port;
midi::Status st;

namespace {

// Opens /dev/null onto each standard stream the bridge was started without,
// so that nothing it opens later can take one's place: a sequencer handle on
// descriptor 0 would be read as input, on 1 or 2 written to as output. A
// closed standard input then reads as ended.
void fillStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free descriptor, so fd itself.
        int null = ::open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) ::close(null);
    }
}

}  // namespace

int startup() {
    fillStandardStreams();
    // Every line goes through emit's buffer, which the loop writes out as
    // standard output takes it.
    prepareOutput();
    client = 0;
    port = 0;
    st = midi::clientCreate("Quorvane Monitor", &client, notificationHandler(post));
    if (st != 0) {
        emit(failureLine(st));
        quit(1);
    }
    midi::outputPortCreate(client, "Quorvane Monitor out", &port);
    reportPorts();
    run();
}
