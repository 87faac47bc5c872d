#pragma once
// Routes one accepted input object to the ports report or the send request.

#include "protocol/request.h"

void dispatch(const Request& request);
void dispatch(const Json& object);
