#include "midi/report.h"

#include <vector>

#include "app/queue.h"
#include "midi/directory.h"
#include "protocol/messages.h"

void reportPorts() {
    std::vector<Destination> directory = destinations();
    std::vector<PortEntry> ports;
    ports.reserve(directory.size());
    for (const auto& d : directory) ports.push_back({d.name, d.uid});
    emit(portsReport(ports));
}

void notified(const midi::Notification* note) {
    if (note->id == 1) post(reportPorts);
}
