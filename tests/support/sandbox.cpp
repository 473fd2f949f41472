#include "tests/support/sandbox.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace tests {

bool inside_sandbox() {
    const char* token = std::getenv("CORVANA_SANDBOX");
    if (token == nullptr || *token == '\0') {
        return false;
    }
    std::ifstream marker("/run/corvana-sandbox");
    std::string expected;
    std::getline(marker, expected);
    return !expected.empty() && expected == token;
}

void require_sandbox() {
    if (!inside_sandbox()) {
        std::fprintf(stderr,
                     "refusing to run: this test writes system paths and runs system tools; "
                     "run it through tests/sandbox/run-in-sandbox.sh (ctest does)\n");
        std::abort();
    }
}

bool ensure_user(const std::string& name) {
    require_sandbox();
    const std::string command =
        "id " + name + " >/dev/null 2>&1 || useradd -M -U -s /bin/false " + name;
    return std::system(command.c_str()) == 0;
}

}  // namespace tests
