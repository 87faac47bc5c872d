#include "app/dispatch.h"

#include "midi/report.h"
#include "midi/send.h"

void dispatch(const Request& request) {
    if (request.ports)
        reportPorts();
    else
        send(request);
}
