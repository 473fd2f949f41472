#pragma once

#include <optional>
#include <string>

#include "platform/plist/property_list.h"

// The description of one launchd job as the installation writes it: a job that launchd starts
// once at load, runs the bundle's executable with one mode argument and never restarts.
//   "Label", "Disabled" false, "RunAtLoad" true, "KeepAlive" false, "LaunchOnlyOnce" true,
//   "ProgramArguments" (executable, mode argument), and "WorkingDirectory" when one is given.
plist_dict_t job_description(const std::string& label, const std::string& executable,
                             const std::string& mode_argument,
                             const std::optional<std::string>& working_directory = std::nullopt);
