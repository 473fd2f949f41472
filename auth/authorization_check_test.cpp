#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "auth/helper_tool_common.h"
#include "helper/helper_tool.h"
#include "platform/authorization/authorization.h"
#include "protocol/protocol_methods.h"
#include "tests/support/authorization_database.h"
#include "tests/support/fake_tools.h"
#include "tests/support/reply.h"
#include "tests/support/sandbox.h"
#include "tests/support/trace_capture.h"

namespace {

using testing::ElementsAre;
using tests::fake_tools;

constexpr const char* k_trace = "/var/log/authorization_check_test.trace";
constexpr const char* k_settings =
    protocol::right_name(protocol::method::check_global_settings_auth).data();

std::string failed(const char* what, long code) {
    return std::string(what) + " The operation couldn\u2019t be completed. (OSStatus error " +
           std::to_string(code) + ".)";
}

ns_data issue(uid_t uid, const std::vector<std::string>& rights = {}) {
    AuthorizationExternalForm form;
    EXPECT_EQ(AuthorizationIssueExternalForm(uid, rights, form), errAuthorizationSuccess);
    return std::vector<std::uint8_t>(form.bytes.begin(), form.bytes.end());
}

class AuthorizationCheckTest : public testing::Test {
  protected:
    void SetUp() override {
        tests::require_sandbox();
        tests::ensure_authorization_users();
        tests::remove_authorization_database();
        std::filesystem::create_directories("/var/log");
        std::filesystem::remove(k_trace);
        tests::use_trace_file(k_trace);
        tool_ = helper_tool_t::init_without_listener();
        admin_ = tests::uid_of("authadmin");
        user_ = tests::uid_of("authuser");
    }

    // The remote call's answer; it must answer exactly once.
    bool settings(const ns_data& auth) {
        return tests::answer_of<bool>(
            [&](auto reply) { tool_->check_global_settings_auth(auth, reply); });
    }

    // The messages written since the last call, each with its level.
    std::vector<std::string> new_lines() {
        std::vector<std::string> lines;
        for (const auto& line : tests::trace_lines(k_trace)) {
            const auto parsed = tests::parse_trace_line(line);
            lines.push_back(parsed.level + ": " + parsed.message);
        }
        std::filesystem::remove(k_trace);
        tests::use_trace_file(k_trace);
        return lines;
    }

    std::unique_ptr<helper_tool_t> tool_;
    uid_t admin_ = 0;
    uid_t user_ = 0;
};

TEST_F(AuthorizationCheckTest, GlobalSettingsUnlockOnlyWithPreauthorizationForIt) {
    EXPECT_TRUE(settings(issue(user_, {k_settings})));
    EXPECT_TRUE(settings(
        issue(admin_, {std::string(protocol::right_name(protocol::method::install)), k_settings})));
    EXPECT_THAT(new_lines(), ElementsAre());

    auto expired = issue(user_, {k_settings});
    tests::execute_on_authorization_database(
        "UPDATE authorizations SET expires = strftime('%s','now') - 1");
    std::vector<std::uint8_t> random(32);
    ASSERT_EQ(::getrandom(random.data(), random.size(), 0), 32);

    struct refused_case {
        const char* name;
        ns_data auth;
        std::string line;
    };
    const refused_case cases[] = {
        {"31 bytes", std::vector<std::uint8_t>(31, 1), failed("wrong auth data", -50)},
        {"33 bytes", std::vector<std::uint8_t>(33, 1), failed("wrong auth data", -50)},
        {"empty", std::vector<std::uint8_t>(), failed("wrong auth data", -50)},
        {"nil", std::nullopt, failed("wrong auth data", -50)},
        {"random", random, failed("external auth failed", -60005)},
        {"expired", expired, failed("external auth failed", -60005)},
        {"ordinary user", issue(user_), failed("external auth failed", -60005)},
        {"administrator, not authenticated", issue(admin_), failed("external auth failed", -60005)},
        {"another right",
         issue(user_, {std::string(protocol::right_name(protocol::method::uninstall))}),
         failed("external auth failed", -60005)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(settings(c.auth));
        EXPECT_THAT(new_lines(), ElementsAre("error: " + c.line));
    }
}

// The rights reset of every install leaves the database without the four rights. A right it
// lacks is judged by its default rule, an administrator authenticating: only a token issued with
// that very right holds it, whoever it was issued to and whatever else it lists.
TEST_F(AuthorizationCheckTest, AMissingRightHoldsOnlyForATokenIssuedWithIt) {
    for (const auto& method : protocol::methods) {
        if (!method.guarded() || method.right.name == k_settings) {
            continue;
        }
        const char* selector = method.selector.data();
        const std::string right(method.right.name);
        SCOPED_TRACE(selector);
        EXPECT_FALSE(tool_->check_authorization(issue(user_, {right}), selector));
        EXPECT_FALSE(tool_->check_authorization(issue(admin_, {k_settings, right}), selector));
        for (const auto& refused : {issue(0), issue(admin_), issue(admin_, {k_settings})}) {
            const auto error = tool_->check_authorization(refused, selector);
            ASSERT_TRUE(error);
            EXPECT_EQ(error->domain, "NSOSStatusErrorDomain");
            EXPECT_EQ(error->code, -60005);
        }
    }
}

// A right the database defines is judged by its own rule: "is-admin" holds for an administrator
// without being listed.
TEST_F(AuthorizationCheckTest, ARightTheDatabaseDefinesFollowsItsRule) {
    AuthorizationExternalForm root_form;
    ASSERT_EQ(AuthorizationIssueExternalForm(0, {}, root_form), errAuthorizationSuccess);
    AuthorizationRef root;
    ASSERT_EQ(AuthorizationCreateFromExternalForm(root_form, root), errAuthorizationSuccess);
    ASSERT_EQ(AuthorizationRightSet(root, k_settings, "is-admin", "unlock", "Common"),
              errAuthorizationSuccess);
    EXPECT_TRUE(settings(issue(admin_)));
    EXPECT_FALSE(settings(issue(user_)));
}

TEST_F(AuthorizationCheckTest, ASelectorWithoutARightFails) {
    const auto everything = issue(0, helper_tool_common_t::authRightNames());
    new_lines();
    for (const char* selector :
         {"get_version_with_reply:", "", static_cast<const char*>(nullptr)}) {
        const auto error = tool_->check_authorization(everything, selector);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code, -60005);
        EXPECT_THAT(new_lines(), ElementsAre("error: " + failed("external auth failed", -60005)));
    }
}

TEST_F(AuthorizationCheckTest, ResetRunsTheSecurityToolForEachRightAndGoesOnAfterFailures) {
    const auto names = helper_tool_common_t::authRightNames();
    std::vector<std::string> expected_warnings{"info: Cleaning authorizationdb.."};
    std::set<std::vector<std::string>> expected_calls;
    for (const auto& name : names) {
        expected_warnings.push_back("warning: can't delete " + name);
        expected_calls.insert({"/usr/bin/security", "authorizationdb", "remove", name});
    }

    fake_tools::reset();
    fake_tools::set_status("security", 1);
    tool_->_resetAuthDB();
    auto calls = fake_tools::calls_of("/usr/bin/security");
    EXPECT_EQ(calls.size(), 4u);
    EXPECT_EQ(std::set(calls.begin(), calls.end()), expected_calls);
    EXPECT_EQ(new_lines(), expected_warnings);

    fake_tools::reset();
    tool_->_resetAuthDB();
    calls = fake_tools::calls_of("/usr/bin/security");
    EXPECT_EQ(std::set(calls.begin(), calls.end()), expected_calls);
    EXPECT_THAT(new_lines(), ElementsAre("info: Cleaning authorizationdb.."));
}

TEST_F(AuthorizationCheckTest, ChecksOnTwoThreadsWhileAuthorizationsAreIssued) {
    const auto granted = issue(user_, {k_settings});
    const auto refused = issue(user_);
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    std::atomic<int> rounds{0};
    auto checker = [&] {
        while (!done.load() || rounds.load() < 20) {
            if (!settings(granted)) {
                ++wrong;
            }
            if (settings(refused)) {
                ++wrong;
            }
            ++rounds;
        }
    };
    std::thread first(checker);
    std::thread second(checker);
    std::vector<ns_data> issued;
    for (int i = 0; i < 30; ++i) {
        issued.push_back(issue(user_, {k_settings}));
    }
    done = true;
    first.join();
    second.join();
    EXPECT_EQ(wrong.load(), 0);
    for (const auto& auth : issued) {
        EXPECT_TRUE(settings(auth));
    }
}

TEST_F(AuthorizationCheckTest, ACorruptDatabaseFailsTheCheck) {
    const auto granted = issue(user_, {k_settings});
    {
        std::ofstream out(kAuthorizationDatabasePath, std::ios::binary | std::ios::trunc);
        out << std::string(4096, '\x17');
    }
    new_lines();
    EXPECT_FALSE(settings(granted));
    EXPECT_THAT(new_lines(), ElementsAre("error: " + failed("external auth failed", -60008)));
}

// Another process keeps the write lock past the busy time-out.
TEST_F(AuthorizationCheckTest, ALockedDatabaseFailsTheCheck) {
    const auto granted = issue(user_, {k_settings});
    new_lines();
    tests::authorization_database_locker locker;
    ASSERT_TRUE(locker.held());

    EXPECT_FALSE(settings(granted));
    EXPECT_THAT(new_lines(), ElementsAre("error: " + failed("external auth failed", -60008)));

    ASSERT_TRUE(locker.release());
    EXPECT_TRUE(settings(granted));
}

}  // namespace
