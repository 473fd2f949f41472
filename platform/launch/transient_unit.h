#pragma once

#include <string>

#include "platform/posix/result.h"

// Where a service manager runs, a program the helper starts must not be a process of the
// helper's own unit: the manager would end it with the helper's idle exit. The launch service's
// stand-in asks the manager to run it as a unit of its own.

// Starts the program at executable (an absolute path, run without arguments, as the helper's
// own user) as a transient service with a fresh, random name, which the manager forgets once the
// program has ended. Waits until the manager reports the start job's end, a few seconds at most.
// True once the manager ran the program's image; false when there is no manager to ask (not
// booted with systemd, or the system bus can't be reached); a failure when the manager refused
// the unit or the program could not be executed.
result<bool> start_transient_service(const std::string& executable);
