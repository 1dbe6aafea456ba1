// The front end of the simulated unit: runs the unit model against a pseudo-terminal or a real
// serial device on the wall clock until told to stop.
#ifndef VELMORA_SIM_PTY_RUNNER_H
#define VELMORA_SIM_PTY_RUNNER_H

#include "PtyOptions.h"

namespace velmora_sim {

// Returns the process exit status: 0 after a clean stop, 1 when the line (the pty and its links,
// or the device) could not be set up.
int runUnit(const SimOptions& options);

} // namespace velmora_sim

#endif
