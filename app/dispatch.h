#pragma once
// Routes one accepted input object to the ports report or the send request.

#include "protocol/emit.h"

void dispatch(const Json& object);
