#pragma once

#include <string>
#include <vector>

// Roles: code that a test runs as another process (a client of the daemon, an attacker, its
// victim) by starting its own program again with role_command. A role is no test: GoogleTest
// neither lists nor counts it, and it runs only when asked for by name.
//
//   CORVANA_ROLE(Hold) { ... }
//
// The body may use GoogleTest's assertions: the role runs as the program's one test, so a failed
// assertion ends it and makes the program exit with 1, as in a test.

namespace tests {

class role_t {
  public:
    role_t(const char* name, void (*body)());
};

// The argument that makes a test program run role, and the argument vector that runs role in the
// test program at executable.
std::string role_argument(const std::string& role);
std::vector<std::string> role_command(const std::string& executable, const std::string& role);

// Called by the test mains before GoogleTest reads the command line: when it holds
// --corvana-role=NAME, takes it out and makes that role the only thing the program runs. A name
// this program has no role for ends the program with 2.
void select_role(int& argc, char** argv);

}  // namespace tests

#define CORVANA_ROLE(name)                                                              \
    static void corvana_role_body_##name();                                             \
    static const ::tests::role_t corvana_role_##name{#name, &corvana_role_body_##name}; \
    static void corvana_role_body_##name()
