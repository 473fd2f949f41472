// The settings unlock through the real daemon and command line, with authorizations issued by
// "corvana-helperctl authorize".
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/authorization/authorization.h"
#include "platform/authorization/authorization_sqlite.h"
#include "protocol/protocol_methods.h"
#include "tests/support/command.h"
#include "tests/support/daemon_session.h"
#include "tests/support/fake_tools.h"
#include "tests/support/sandbox.h"
#include "tests/support/trace_capture.h"

namespace {

namespace fs = std::filesystem;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;
using tests::daemon_session;

constexpr const char* k_settings =
    protocol::right_name(protocol::method::check_global_settings_auth).data();
constexpr const char* k_uninstall = protocol::right_name(protocol::method::uninstall).data();
constexpr const char* k_dir = "/var/tmp/authorization-daemon-test";

std::string failed(const char* what, long code) {
    return std::string(what) + " The operation couldn\u2019t be completed. (OSStatus error " +
           std::to_string(code) + ".)";
}

std::string write_bytes(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const std::string path = std::string(k_dir) + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return path;
}

class AuthorizationDaemonTest : public testing::Test {
  protected:
    void SetUp() override {
        tests::require_sandbox();
        tests::fake_tools::reset();
        std::system("id authuser >/dev/null 2>&1 || useradd -M -N -s /bin/false authuser");
        fs::remove(tests::k_daemon_trace);
        fs::remove(kAuthorizationDatabasePath);
        fs::remove_all(k_dir);
        fs::create_directories(k_dir);
        daemon_.emplace();
    }

    // The reply printed by the signed command line.
    std::string unlock(const std::string& auth_file) {
        auto result = daemon_->helperctl({"check-settings-auth", "--auth", auth_file});
        EXPECT_EQ(result.exit_code, 0) << result.err;
        return result.out;
    }

    std::vector<std::string> errors() {
        return tests::trace_messages(tests::k_daemon_trace, "error");
    }

    std::optional<daemon_session> daemon_;
};

TEST_F(AuthorizationDaemonTest, UnlocksWithAnAuthorizationIssuedForTheRight) {
    EXPECT_EQ(unlock(tests::issue_authorization({k_settings})), "true\n");
    EXPECT_EQ(unlock(tests::issue_authorization({k_uninstall, k_settings}, "authuser")), "true\n");
    EXPECT_THAT(errors(), IsEmpty());
}

TEST_F(AuthorizationDaemonTest, RefusesEverythingElseWithOneErrorLineEach) {
    std::vector<std::uint8_t> random(32);
    ASSERT_EQ(::getrandom(random.data(), random.size(), 0), 32);
    const std::string expired = tests::issue_authorization({k_settings});
    {
        // A helper's copy of the bytes outlives the authorization: five minutes on, it is dead.
        sqlite3* raw = nullptr;
        ASSERT_EQ(sqlite3_open(kAuthorizationDatabasePath, &raw), SQLITE_OK);
        sqlite_connection_t db(raw);
        ASSERT_EQ(
            sqlite3_exec(db.get(), "UPDATE authorizations SET expires = strftime('%s','now') - 1",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
    }
    const std::vector<std::string> files{
        write_bytes("short", std::vector<std::uint8_t>(31, 7)),
        write_bytes("long", std::vector<std::uint8_t>(33, 7)),
        write_bytes("empty", {}),
        write_bytes("random", random),
        expired,
        tests::issue_authorization({k_uninstall}),
        tests::issue_authorization({std::string(protocol::right_name(protocol::method::install))},
                                   "authuser"),
    };
    for (const auto& file : files) {
        EXPECT_EQ(unlock(file), "false\n") << file;
    }
    const auto wrong = failed("wrong auth data", -50);
    const auto denied = failed("external auth failed", -60005);
    EXPECT_THAT(errors(), ElementsAre(wrong, wrong, wrong, denied, denied, denied, denied));
}

TEST_F(AuthorizationDaemonTest, TheAuthorizeCommandOnlyWorksForRoot) {
    const std::string out = std::string(k_dir) + "/nobody.bin";
    auto refused = tests::run_command({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                       "--clear-groups", CORVANA_HELPERCTL_PATH, "authorize",
                                       "--right", k_settings, "--out", out});
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_THAT(refused.err, HasSubstr("only root can issue authorizations"));
    EXPECT_FALSE(fs::exists(out));

    auto help = tests::run_command({CORVANA_HELPERCTL_PATH, "authorize", "--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_THAT(help.out, HasSubstr("--right NAME..."));

    // Run through sudo: the authorization is the invoking user's, and so is the file.
    const std::string mine = std::string(k_dir) + "/mine.bin";
    auto issued = tests::run_command(
        {CORVANA_HELPERCTL_PATH, "authorize", "--right", k_settings, "--out", mine},
        {"SUDO_USER=authuser"});
    ASSERT_EQ(issued.exit_code, 0) << issued.err;
    struct stat info {};
    ASSERT_EQ(::stat(mine.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, ::getpwnam("authuser")->pw_uid);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(fs::file_size(mine), 32u);
    EXPECT_EQ(unlock(mine), "true\n");
}

}  // namespace
