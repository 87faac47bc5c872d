#pragma once
// The ports report and the handler that answers setup changes with one.

#include <functional>

#include "midi/service.h"

// Writes one ports report of the destinations online now, in its turn among
// the replies.
void reportPorts();

// How start-up has work items queued for the main loop.
using Post = void (*)(std::function<void()> work);

// The handler that client creation registers: it posts, through post, one
// ports report for each setup-changed notification. Unasked, that report
// goes out ahead of replies still waiting for their sends.
midi::NotifyHandler notificationHandler(Post post);
