#include "midi/report.h"

#include <vector>

#include "midi/directory.h"
#include "protocol/messages.h"

void reportPorts() {
    std::vector<Destination> directory = destinations();
    std::vector<PortEntry> ports;
    ports.reserve(directory.size());
    for (const auto& d : directory) ports.push_back({d.name, d.uid});
    emit(portsReport(ports));
}

midi::NotifyHandler notificationHandler(Post post) {
    return [post](const midi::Notification* note) {
        if (note->id == 1) post(reportPorts);
    };
}
