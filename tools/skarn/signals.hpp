// The stop signals (SIGINT, SIGTERM, SIGHUP) and the safe points at which a
// command notices them.
#pragma once

namespace skarn_cli {

// Installs the handlers of SIGINT, SIGTERM and SIGHUP, which only note the
// signal, and ignores SIGPIPE so that a closed pipe shows up as EPIPE.
void install_signal_handlers();

// The signal that asked the command to stop, or 0.
int pending_signal();

// A safe point: throws `interrupted` when a stop signal arrived.
void check_interrupted();

}  // namespace skarn_cli
