#pragma once
// Start-up: registers with the MIDI service, writes the first ports report
// and runs the main loop; never returns.

int startup();
