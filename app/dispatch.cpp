#include "app/dispatch.h"

#include "midi/report.h"
#include "midi/send.h"
#include "protocol/messages.h"

void dispatch(const Json& object) {
    if (isPortsCommand(object))
        reportPorts();
    else
        send(object);
}
