#pragma once
// Routes one accepted request to the ports report or the send request.

#include "protocol/messages.h"

void dispatch(const Request& request);
