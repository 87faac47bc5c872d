#include "midi/report.h"

#include "app/queue.h"
#include "midi/directory.h"
#include "protocol/messages.h"

void reportPorts() { emit(portsReport(destinations())); }

void notified(const midi::Notification* note) {
    if (note->id == 1) post(reportPorts);
}
