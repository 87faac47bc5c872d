#include "midi/report.h"

#include "midi/directory.h"
#include "protocol/messages.h"

void reportPorts() { emit(portsReport(destinations())); }

midi::NotifyHandler notificationHandler(Post post) {
    return [post](const midi::Notification* note) {
        if (note->id == 1) post(reportPorts);
    };
}
