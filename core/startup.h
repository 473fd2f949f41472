#pragma once

#include <string>

// Chooses and prepares the trace directory and sets the process-wide trace values: the trace
// file object, its path and the component name. Aborts where no trace directory can be had.
// Gives what start-up has to say about the system trace file (refused or replaced, and why),
// already printed on standard error, for a warning line once the trace is written; empty when
// there is nothing to say.
[[nodiscard]] std::string prepare_trace_file();

// The user logged in at the console, or "<unknown>".
std::string console_user_name();

// The home directory of a user, or the empty text when the system doesn't know one.
std::string home_directory_for_user(const std::string& name);
