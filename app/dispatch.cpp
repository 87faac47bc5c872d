#include "app/dispatch.h"

#include "midi/report.h"
#include "midi/send.h"

void dispatch(const Request& request) {
    if (request.kind() == Request::Kind::ports)
        reportPorts();
    else
        send(request);
}

void dispatch(const Json& object) { dispatch(requestOf(object)); }
