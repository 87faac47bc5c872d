#include "midi/report.h"

#include <vector>

#include "midi/directory.h"
#include "protocol/messages.h"

namespace {

Json report() {
    std::vector<Destination> directory = destinations();
    std::vector<PortEntry> ports;
    ports.reserve(directory.size());
    for (const auto& d : directory) ports.push_back({d.name, d.uid});
    return portsReport(ports);
}

void reportChanges() { emitPassing(report()); }

}  // namespace

void reportPorts() { emit(report()); }

midi::NotifyHandler notificationHandler(Post post) {
    return [post](const midi::Notification* note) {
        if (note->id == 1) post(reportChanges);
    };
}
