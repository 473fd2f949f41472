#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/command.h"

namespace tests {

// A private system bus (the real dbus-daemon, tests/support/system-bus.conf) and, on it, polkitd
// played by python-dbusmock's "polkitd" template, whose calls are logged. The daemon reaches it
// through DBUS_SYSTEM_BUS_ADDRESS (environment()). Must be used inside the sandbox.
class polkit_bus {
  public:
    static constexpr const char* k_address = "unix:path=/run/corvana-test-bus/system_bus_socket";

    // with_polkit false: the bus alone, nobody owning polkit's name.
    explicit polkit_bus(bool with_polkit = true);
    ~polkit_bus();
    polkit_bus(const polkit_bus&) = delete;
    polkit_bus& operator=(const polkit_bus&) = delete;

    // "DBUS_SYSTEM_BUS_ADDRESS=..." for the daemon's environment.
    static std::string environment();

    // The version polkit reports (BackendVersion; the template says "0.8.15").
    void report_version(const std::string& version);
    // The actions CheckAuthorization grants; every other one is refused.
    void allow(const std::vector<std::string>& actions);
    // CheckAuthorization for these actions answers only when released or dismissed.
    void hang(const std::vector<std::string>& actions);
    bool has_hanging_calls();
    // Answers the held calls as allow() says / as a prompt the person dismissed.
    void release_hanging_calls();
    void dismiss_hanging_calls();

    // One logged call of polkit's: the method's name and its arguments as python-dbusmock shows
    // them.
    struct call_t {
        std::string method;
        std::string arguments;
    };
    std::vector<call_t> calls(const std::string& method) const;

  private:
    command_result mock(const std::vector<std::string>& arguments) const;

    std::unique_ptr<child_process> bus_;
    std::unique_ptr<child_process> polkitd_;
};

// The start time of a running process (clock ticks since boot, /proc stat field 22), as polkit
// identifies it; 0 when it can't be read.
unsigned long long process_start_time(pid_t pid);

}  // namespace tests
