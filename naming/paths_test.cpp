#include "naming/paths.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/posix/path_text.h"

namespace {

TEST(PathsTest, PathTexts) {
    using namespace naming;
    EXPECT_EQ(last_path_component("/Applications/Sub/Corvana.app"), "Corvana.app");
    EXPECT_EQ(last_path_component("/tmp/Corvana.app//"), "Corvana.app");
    EXPECT_EQ(last_path_component("Corvana.app"), "Corvana.app");
    EXPECT_EQ(last_path_component("/"), "/");
    EXPECT_EQ(last_path_component(""), "");

    EXPECT_EQ(append_path_component("/Applications", "Corvana.app"), "/Applications/Corvana.app");
    EXPECT_EQ(append_path_component("/usr/local/bin/", "x"), "/usr/local/bin/x");
    EXPECT_EQ(append_path_component("/etc", ""), "/etc");
    EXPECT_EQ(append_path_component("/", "etc"), "/etc");

    EXPECT_TRUE(is_plain_absolute_path("/tmp/Corvana.app"));
    EXPECT_TRUE(is_plain_absolute_path("/tmp/Corvana.app/"));
    for (const char* bad : {"", "tmp/Corvana.app", "/tmp/../Corvana.app", "/tmp/./Corvana.app",
                            "//Applications/Corvana.app", "/tmp/..", "/a//b.app"}) {
        EXPECT_FALSE(is_plain_absolute_path(bad)) << bad;
    }
    EXPECT_FALSE(is_plain_absolute_path(std::string("/tmp/x\0/y.app", 13)));

    EXPECT_TRUE(is_application_bundle_path("/tmp/Corvana.app/"));
    for (const char* bad : {"Corvana.app", "/tmp/../Corvana.app", "/tmp/Corvana", "/tmp/app"}) {
        EXPECT_FALSE(is_application_bundle_path(bad)) << bad;
    }
}

TEST(PathsTest, NamesOfAnInstallation) {
    using namespace naming;
    EXPECT_EQ(service_job_file(service_label("corvana")),
              "/Library/LaunchDaemons/com.quillmark.corvana.service.plist");
    EXPECT_EQ(agent_job_file(frontend_label("corvana")),
              "/Library/LaunchAgents/com.quillmark.corvana.Frontend.plist");
    EXPECT_EQ(global_trace_file("corvana"), "/var/log/corvana.trace");
    EXPECT_EQ(global_config_directory("corvana"), "/etc/corvana");
    EXPECT_EQ(global_config_directory(""), "/etc");
    EXPECT_EQ(helper_tool_path("corvana_beta"),
              "/Library/PrivilegedHelperTools/com.quillmark.corvana-beta.Helper");
    EXPECT_EQ(helper_job_file("corvana_beta"),
              "/Library/LaunchDaemons/com.quillmark.corvana-beta.Helper.plist");
}

}  // namespace
