// The pty front end of the simulated unit: runs the unit model against a pseudo-terminal on the
// wall clock until told to stop.
#ifndef VELMORA_SIM_PTY_RUNNER_H
#define VELMORA_SIM_PTY_RUNNER_H

#include "PtyOptions.h"

namespace velmora_sim {

// Returns the process exit status: 0 after a clean stop, 1 when the pty or its links could
// not be set up.
int runPtyUnit(const SimOptions& options);

} // namespace velmora_sim

#endif
