#pragma once

#include <string>
#include <vector>

namespace tests {

// The fake system tools of the sandbox: each run appends its path and arguments to a call log,
// and exits with the status (and prints the output) that a test scripted for it.
class fake_tools {
  public:
    using call = std::vector<std::string>;  // [0] is the tool's path, then its arguments

    // tool is the base name, e.g. "launchctl".
    static void set_status(const std::string& tool, int status);
    static void set_output(const std::string& tool, const std::string& output);
    static void set_delay(const std::string& tool, double seconds);
    // Forget scripted outcomes and empty the call log.
    static void reset();

    static std::vector<call> calls();
    // Only the calls of one tool, given by its full path.
    static std::vector<call> calls_of(const std::string& path);
};

}  // namespace tests
