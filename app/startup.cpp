#include "app/startup.h"

#include <cstdio>
#include <thread>

#include "app/queue.h"
#include "app/reader.h"
#include "app/state.h"
#include "midi/report.h"
#include "protocol/messages.h"

midi::Ref client;
midi::Ref port;
midi::Status st;

int startup() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    client = 0;
    port = 0;
    st = midi::clientCreate("Quorvane Monitor", &client, notified);
    if (st != 0) {
        emit(failureLine(st));
        quit(1);
    }
    midi::outputPortCreate(client, "Quorvane Monitor out", &port);
    reportPorts();
    std::thread(readerLoop).detach();
    runMainLoop();
}
