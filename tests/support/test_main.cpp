#include <gtest/gtest.h>

#include "tests/support/role.h"
#include "tests/support/sandbox.h"

// Every test program refuses to start outside the sandbox, before any test can touch the host.
int main(int argc, char** argv) {
    tests::select_role(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    tests::require_sandbox();
    return RUN_ALL_TESTS();
}
