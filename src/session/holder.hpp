// The session network holder: a user and network namespace kept alive for
// several strict jails, and the loopback operation it shares with the jail.
#pragma once

#include "error.hpp"

namespace tj {

[[noreturn]] void hold_session_network();

// Sets "lo" up and running; the error carries the failing call's errno.
Result<> bring_loopback_up();

}  // namespace tj
