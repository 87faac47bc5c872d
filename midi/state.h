#pragma once
// The process-wide MIDI state: written by start-up before the reader thread
// exists, only read afterwards.

#include "midi/service.h"

extern midi::Ref client;  // our MIDI client
extern midi::Ref port;    // our output port, read by every send
extern midi::Status st;   // the status of client creation
