#include <gtest/gtest.h>

#include "tests/support/role.h"

// Programs that touch no system path, need no root and run no system tool: unlike the others
// they run outside the sandbox, as any user.
int main(int argc, char** argv) {
    tests::select_role(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
