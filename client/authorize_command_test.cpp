#include "client/authorize_command.h"

#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/authorization/authorization.h"
#include "protocol/protocol_methods.h"
#include "tests/support/sandbox.h"

namespace {

const std::string k_right(protocol::right_name(protocol::method::check_global_settings_auth));
const std::string k_out = "/var/tmp/authorize-test/auth.bin";

int run(std::initializer_list<std::string> args) {
    std::vector<std::string> owned{"authorize"};
    owned.insert(owned.end(), args);
    std::vector<char*> argv;
    for (auto& arg : owned) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    return authorize_command_main(static_cast<int>(owned.size()), argv.data());
}

std::vector<std::uint8_t> bytes_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

AuthorizationExternalForm form_of(const std::string& path) {
    AuthorizationExternalForm form;
    const auto bytes = bytes_of(path);
    EXPECT_EQ(bytes.size(), form.bytes.size());
    std::copy_n(bytes.begin(), std::min(bytes.size(), form.bytes.size()), form.bytes.begin());
    return form;
}

OSStatus check(const AuthorizationExternalForm& form, const std::string& right) {
    AuthorizationRef ref;
    const OSStatus created = AuthorizationCreateFromExternalForm(form, ref);
    if (created != errAuthorizationSuccess) {
        return created;
    }
    return AuthorizationCopyRights(ref, {{right, {}, 0}}, 3);
}

uid_t uid_of(const char* name) {
    passwd* entry = ::getpwnam(name);
    return entry == nullptr ? static_cast<uid_t>(-1) : entry->pw_uid;
}

class AuthorizeCommandTest : public testing::Test {
  protected:
    void SetUp() override {
        tests::require_sandbox();
        std::system("id authcli >/dev/null 2>&1 || useradd -M -N -s /bin/false authcli");
        std::filesystem::remove_all("/var/tmp/authorize-test");
        std::filesystem::create_directories("/var/tmp/authorize-test");
        for (const char* name : {"SUDO_USER", "PKEXEC_UID"}) {
            ::unsetenv(name);
        }
    }
};

TEST_F(AuthorizeCommandTest, WritesAUsableAuthorizationOwnedByTheUser) {
    ::setenv("SUDO_USER", "authcli", 1);
    ASSERT_EQ(run({"--right", k_right, "--out", k_out}), 0);
    struct stat info {};
    ASSERT_EQ(::stat(k_out.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(info.st_uid, uid_of("authcli"));
    EXPECT_EQ(check(form_of(k_out), k_right), errAuthorizationSuccess);
    EXPECT_EQ(check(form_of(k_out), std::string(protocol::right_name(protocol::method::uninstall))),
              errAuthorizationDenied);

    // Never written over: an existing file or link stays as it was.
    const auto first = bytes_of(k_out);
    EXPECT_EQ(run({"--right", k_right, "--out", k_out}), 1);
    EXPECT_EQ(bytes_of(k_out), first);
    std::filesystem::create_symlink("/etc/passwd", "/var/tmp/authorize-test/link");
    const auto passwd = bytes_of("/etc/passwd");
    EXPECT_EQ(run({"--right", k_right, "--out", "/var/tmp/authorize-test/link"}), 1);
    EXPECT_EQ(bytes_of("/etc/passwd"), passwd);
}

TEST_F(AuthorizeCommandTest, ChoosesTheUser) {
    const std::string out2 = k_out + "2";
    const std::string out3 = k_out + "3";
    ::setenv("PKEXEC_UID", std::to_string(uid_of("authcli")).c_str(), 1);
    ASSERT_EQ(run({"--right", k_right, "other.right", "--out", k_out}), 0);
    struct stat info {};
    ASSERT_EQ(::stat(k_out.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, uid_of("authcli"));
    EXPECT_EQ(check(form_of(k_out), "other.right"), errAuthorizationSuccess);

    ::unsetenv("PKEXEC_UID");
    ASSERT_EQ(run({"--right", k_right, "--out", out2}), 0);
    ASSERT_EQ(::stat(out2.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 0u);

    ::setenv("SUDO_USER", "authcli", 1);
    ASSERT_EQ(run({"--right=" + k_right, "--user=root", "--out=" + out3}), 0);
    ASSERT_EQ(::stat(out3.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 0u);

    // Nobody to issue for: nothing written.
    ::setenv("SUDO_USER", "no-such-user-here", 1);
    EXPECT_EQ(run({"--right", k_right, "--out", k_out + "4"}), 1);
    ::unsetenv("SUDO_USER");
    ::setenv("PKEXEC_UID", "12x", 1);
    EXPECT_EQ(run({"--right", k_right, "--out", k_out + "4"}), 1);
    EXPECT_FALSE(std::filesystem::exists(k_out + "4"));
}

TEST_F(AuthorizeCommandTest, UsageErrorsWriteNothing) {
    EXPECT_EQ(run({"--help"}), 0);
    EXPECT_EQ(run({}), 2);
    EXPECT_EQ(run({"--out", k_out}), 2);
    EXPECT_EQ(run({"--right", "--out", k_out}), 2);
    EXPECT_EQ(run({"--right", k_right}), 2);
    EXPECT_EQ(run({"--right", k_right, "--out"}), 2);
    EXPECT_EQ(run({"--right", "bad name", "--out", k_out}), 2);
    EXPECT_EQ(run({"--right", k_right, "--out", k_out, "--out", k_out}), 2);
    EXPECT_EQ(run({"--right", k_right, "--frobnicate", "--out", k_out}), 2);
    EXPECT_FALSE(std::filesystem::exists(k_out));
}

TEST_F(AuthorizeCommandTest, RefusesNonRoot) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(10);
        }
        ::_exit(run({"--right", k_right, "--out", "/tmp/never-written"}));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_FALSE(std::filesystem::exists("/tmp/never-written"));
}

TEST_F(AuthorizeCommandTest, AFailedIssueLeavesNoFile) {
    std::filesystem::create_directories("/var/db");
    {
        std::ofstream out(kAuthorizationDatabasePath, std::ios::binary | std::ios::trunc);
        out << std::string(4096, 'x');
    }
    ::chmod(kAuthorizationDatabasePath, 0600);
    EXPECT_EQ(run({"--right", k_right, "--out", k_out}), 1);
    EXPECT_FALSE(std::filesystem::exists(k_out));
    std::filesystem::remove(kAuthorizationDatabasePath);
}

}  // namespace
