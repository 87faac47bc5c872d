#pragma once
// The ports report and the handler that answers setup changes with one.

#include "midi/service.h"

// Writes one ports report of the destinations online now.
void reportPorts();

// Posts one ports report for each setup-changed notification.
void notified(const midi::Notification* note);
