#pragma once

#include <string>

#include "platform/posix/result.h"

// Stand-in for the platform's application launcher. Starts the executable named by
// "CFBundleExecutable" in the bundle's "Contents/Info.plist", that is
// "<bundle>/Contents/MacOS/<executable>", without arguments, outside the caller's process tree:
// as a unit of its own where a service manager runs, otherwise detached in a session of its own.
// Success once the executable has started.
result<> launch_application(const std::string& bundle_path);

// The bundle the running program belongs to: for an executable at
// "<bundle>/Contents/MacOS/<name>" that bundle, otherwise the directory that holds it. A failure
// when the program's own path can't be found.
result<std::string> main_bundle_path();
