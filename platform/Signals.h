// The stop signals of a terminal program (SIGINT from Ctrl-C, SIGTERM from a service
// manager): the first one is caught and remembered, so that the program stops its work at a
// safe point and says so; a second one ends the program at once, as if nothing had been
// caught.
#pragma once

namespace platform {

// Catches the next SIGINT or SIGTERM. Called once, on the main thread, at start-up.
void catchStopSignals();
// The signal caught (SIGINT or SIGTERM), or 0 while none came. Called on any thread.
int stopSignal();

}  // namespace platform
