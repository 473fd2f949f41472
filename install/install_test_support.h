#pragma once

// Shared by the installation's tests (header only: every .cpp of this folder goes into the
// daemon's library).

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "helper/helper_tool.h"
#include "platform/authorization/authorization.h"
#include "protocol/protocol_methods.h"
#include "tests/support/fake_tools.h"
#include "tests/support/files.h"
#include "tests/support/process_stats.h"
#include "tests/support/reply.h"
#include "tests/support/signing.h"
#include "tests/support/trace_capture.h"
#include "tests/support/wait.h"

namespace install_testing {

namespace fs = std::filesystem;

inline constexpr const char* install_right = protocol::right_name(protocol::method::install).data();
inline constexpr const char* service_right =
    protocol::right_name(protocol::method::install_service).data();
inline constexpr const char* uninstall_right =
    protocol::right_name(protocol::method::uninstall).data();

using tests::read_file;
using tests::write_file;

inline bool exists(const std::string& path) {
    return fs::exists(fs::symlink_status(path));
}

inline mode_t mode_of(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

inline std::string testdata(const std::string& name) {
    return read_file(std::string(CORVANA_SOURCE_DIR) + "/install/testdata/" + name);
}

// An authorization issued for root with the right pre-authorized.
inline ns_data authorization_for(const char* right) {
    AuthorizationExternalForm form;
    const OSStatus status = AuthorizationIssueExternalForm(0, {right}, form);
    EXPECT_EQ(status, errAuthorizationSuccess) << right;
    return std::vector<std::uint8_t>(form.bytes.begin(), form.bytes.end());
}

inline ns_data bad_authorization() {
    return std::vector<std::uint8_t>(31, 7);
}

// A bundle of the application whose executable notes in started_marker that it ran, and then
// ends; signed so that it satisfies the helper's client requirement, unless sign is false.
inline void make_bundle(const std::string& path, const std::string& started_marker,
                        bool sign = true) {
    write_file(path + "/Contents/Info.plist", tests::application_info_plist());
    write_file(path + "/Contents/MacOS/Corvana",
               "#!/bin/sh\necho \"$@\" >> " + started_marker + "\n", fs::perms(0700));
    write_file(path + "/Contents/Resources/strings.txt", "text", fs::perms(0600));
    fs::create_symlink("../MacOS/Corvana", path + "/Contents/Resources/executable_link");
    if (sign) {
        tests::sign_bundle(path);
    }
}

// An install starts the application detached and answers before it has run; a test that reuses
// the bundle and the marker must first let the launches of the one before it end (every
// executable run from inside a bundle, "<bundle>/Contents/MacOS/...").
inline void wait_for_launched_bundles() {
    (void)tests::wait_until([] { return !tests::process_running_with("/Contents/MacOS/"); },
                            std::chrono::seconds(10), std::chrono::milliseconds(10));
}

inline bool wait_for_file(const std::string& path, std::chrono::seconds limit) {
    return tests::wait_until([&] { return fs::exists(path); }, limit);
}

struct logged {
    std::string level;
    std::string message;
    bool operator==(const logged&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const logged& line) {
    return out << line.level << ": " << line.message;
}

inline std::vector<logged> logged_lines(const std::string& trace) {
    std::vector<logged> lines;
    for (const auto& line : tests::trace_lines(trace)) {
        const auto parsed = tests::parse_trace_line(line);
        lines.push_back({parsed.level, parsed.message});
    }
    return lines;
}

inline bool was_logged(const std::string& trace, const logged& wanted) {
    for (const auto& line : logged_lines(trace)) {
        if (line == wanted) {
            return true;
        }
    }
    return false;
}

// Each test starts from empty job directories, no configuration, no bundle and an empty call log.
class InstallFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        wait_for_launched_bundles();
        for (const char* dir : {"/Library/LaunchDaemons", "/Library/LaunchAgents", "/Applications",
                                "/Library/PrivilegedHelperTools", "/usr/local/bin", "/srv"}) {
            fs::remove_all(dir);
            fs::create_directories(dir);
        }
        for (const char* path : {"/etc/corvana", "/etc/alpha", "/etc/beta", "/etc/corvana_beta"}) {
            fs::remove_all(path);
        }
        for (const auto& entry : fs::directory_iterator("/var/log")) {
            if (entry.path().extension() == ".trace") {
                fs::remove(entry.path());
            }
        }
        fs::remove(started_marker);
        fs::remove(trace);
        tests::use_trace_file(trace);
        tests::fake_tools::reset();
        tool = helper_tool_t::init_without_listener();
        ASSERT_TRUE(tool);
    }

    std::vector<logged> lines() const { return logged_lines(trace); }
    // Starts an empty trace file (the open one would keep taking lines after an unlink).
    void restart_trace() const {
        fs::remove(trace);
        tests::use_trace_file(trace);
    }

    static int security_runs() {
        return static_cast<int>(tests::fake_tools::calls_of("/usr/bin/security").size());
    }

    static std::vector<std::string> chown_calls() {
        std::vector<std::string> out;
        for (const auto& call : tests::fake_tools::calls_of("/usr/sbin/chown")) {
            std::string joined;
            for (std::size_t i = 1; i < call.size(); ++i) {
                joined += (i > 1 ? " " : "") + call[i];
            }
            out.push_back(joined);
        }
        return out;
    }

    const std::string trace = "/tmp/install_test.trace";
    const std::string started_marker = "/tmp/corvana_started";
    std::unique_ptr<helper_tool_t> tool;
};

}  // namespace install_testing
