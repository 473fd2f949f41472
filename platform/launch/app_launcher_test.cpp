#include "platform/launch/app_launcher.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "tests/support/files.h"
#include "tests/support/wait.h"

namespace fs = std::filesystem;
using tests::eventually;
using tests::read_file;
using tests::write_bundle;
using tests::write_file;

namespace {

TEST(AppLauncherTest, StartsTheBundleExecutableDetached) {
    const fs::path bundle = "/Applications/Started.app";
    write_bundle(bundle, "Started Tool",
                 "echo \"$(ps -o sid= -p $$) $PPID $(readlink /proc/$$/fd/0)\" > /tmp/started\n");
    ASSERT_TRUE(launch_application(bundle));
    std::string report;
    ASSERT_TRUE(eventually([&] {
        report = read_file("/tmp/started");
        return !report.empty() && report.back() == '\n';
    }));
    std::istringstream fields(report);
    std::string session, parent, input;
    fields >> session >> parent >> input;
    EXPECT_NE(session, std::to_string(::getsid(0)));  // a session of its own
    EXPECT_NE(parent, std::to_string(::getpid()));    // not a child left to reap
    EXPECT_EQ(input, "/dev/null");
}

TEST(AppLauncherTest, RefusesBundlesItCannotStart) {
    EXPECT_FALSE(launch_application("/Applications/Missing.app"));
    write_bundle("/Applications/Broken.app", "Broken", "exit 0\n");
    fs::remove("/Applications/Broken.app/Contents/MacOS/Broken");
    EXPECT_FALSE(launch_application("/Applications/Broken.app"));
    // An executable name that would lead out of Contents/MacOS.
    write_bundle("/Applications/Escape.app", "Escape", "exit 0\n");
    write_file("/Applications/Escape.app/Contents/Info.plist",
               "<plist version=\"1.0\"><dict><key>CFBundleExecutable</key>"
               "<string>../../../../bin/true</string></dict></plist>");
    EXPECT_FALSE(launch_application("/Applications/Escape.app"));
}

}  // namespace
