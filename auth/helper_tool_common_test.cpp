#include "auth/helper_tool_common.h"

#include <pwd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/authorization/authorization.h"
#include "tests/support/sandbox.h"
#include "tests/support/trace_capture.h"

namespace {

using testing::UnorderedElementsAre;

constexpr const char* k_trace = "/var/log/helper_tool_common_test.trace";
const std::string k_install = "com.quillmark.Corvana.Helper.install_corvana";
const std::string k_service = "com.quillmark.Corvana.Helper.install_service";
const std::string k_uninstall = "com.quillmark.Corvana.Helper.uninstall_corvana";
const std::string k_settings = "com.quillmark.Corvana.Helper.global_settings";

using entry_t = helper_tool_common_t::right_entry_t;

entry_t entry(const std::string& name, const std::string& rule, const std::string& text) {
    return {{"authRightName", name}, {"authRightDefault", rule}, {"authRightDescription", text}};
}

TEST(HelperToolCommonTest, TheTableHoldsTheFourGuardedOperations) {
    const helper_tool_common_t::command_info_t expected{
        {"install_corvana_with_auth_data:with_bundle_path:with_sysconfig_path:with_cv_namespace:"
         "with_user_name:with_reply:",
         entry(k_install, "is-admin", "Corvana is trying to install itself")},
        {"install_corvana_service_with:for_namespace:user_config:reply:",
         entry(k_service, "is-admin", "Corvana is trying to install global service")},
        {"uninstall_corvana_with_auth_data:with_bundle_path:with_sysconfig_path:with_cv_namespace:"
         "with_user_name:with_reply:",
         entry(k_uninstall, "authenticate-admin", "Corvana is trying to uninstall itself")},
        {"check_global_settings_auth:reply:",
         entry(k_settings, "authenticate-admin",
               "Corvana is trying to unlock the global settings")},
    };
    EXPECT_EQ(helper_tool_common_t::commandInfo(), expected);

    EXPECT_THAT(helper_tool_common_t::authRightNames(),
                UnorderedElementsAre(k_install, k_service, k_uninstall, k_settings));

    std::vector<std::tuple<std::string, std::string, std::string>> seen;
    helper_tool_common_t::enumerate_rights_using_block(
        [&](const std::string& name, const std::string& rule, const std::string& text) {
            seen.emplace_back(name, rule, text);
        });
    std::vector<std::tuple<std::string, std::string, std::string>> listed;
    for (const auto& [selector, e] : expected) {
        listed.emplace_back(e.at("authRightName"), e.at("authRightDefault"),
                            e.at("authRightDescription"));
    }
    EXPECT_THAT(seen, testing::UnorderedElementsAreArray(listed));
}

TEST(HelperToolCommonTest, RightForCommand) {
    EXPECT_EQ(helper_tool_common_t::authorization_right_for_command(
                  "uninstall_corvana_with_auth_data:with_bundle_path:with_sysconfig_path:"
                  "with_cv_namespace:with_user_name:with_reply:"),
              k_uninstall);
    EXPECT_EQ(
        helper_tool_common_t::authorization_right_for_command("check_global_settings_auth:reply:"),
        k_settings);
    EXPECT_EQ(helper_tool_common_t::authorization_right_for_command("get_version_with_reply:"),
              std::nullopt);
    EXPECT_EQ(helper_tool_common_t::authorization_right_for_command("check_global_settings_auth:"),
              std::nullopt);
    EXPECT_EQ(helper_tool_common_t::authorization_right_for_command(nullptr), std::nullopt);
}

class HelperToolCommonRightsTest : public testing::Test {
  protected:
    void SetUp() override {
        tests::require_sandbox();
        std::system("id authuser >/dev/null 2>&1 || useradd -M -N -s /bin/false authuser");
        for (const char* suffix : {"", "-journal"}) {
            std::filesystem::remove(std::string(kAuthorizationDatabasePath) + suffix);
        }
        std::filesystem::create_directories("/var/log");
        std::filesystem::remove(k_trace);
        tests::use_trace_file(k_trace);
        root_ = reference(0);
    }

    static AuthorizationRef reference(uid_t uid) {
        AuthorizationExternalForm form;
        EXPECT_EQ(AuthorizationIssueExternalForm(uid, {}, form), errAuthorizationSuccess);
        AuthorizationRef ref;
        EXPECT_EQ(AuthorizationCreateFromExternalForm(form, ref), errAuthorizationSuccess);
        return ref;
    }

    static std::optional<AuthorizationRightDefinition> defined(const std::string& right) {
        std::optional<AuthorizationRightDefinition> definition;
        (void)AuthorizationRightGet(right, definition);
        return definition;
    }

    AuthorizationRef root_;
};

TEST_F(HelperToolCommonRightsTest, SetupDefinesOnlyTheMissingRights) {
    ASSERT_EQ(AuthorizationRightSet(root_, k_uninstall, "is-admin", "changed by hand", "Local"),
              errAuthorizationSuccess);
    helper_tool_common_t::setup_authorization_rights(root_);

    auto kept = defined(k_uninstall);
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->rule, "is-admin");
    EXPECT_EQ(kept->description, "changed by hand");
    EXPECT_EQ(kept->localisation_table, "Local");
    helper_tool_common_t::enumerate_rights_using_block(
        [&](const std::string& name, const std::string& rule, const std::string& text) {
            if (name == k_uninstall) {
                return;
            }
            auto definition = defined(name);
            ASSERT_TRUE(definition) << name;
            EXPECT_EQ(definition->rule, rule);
            EXPECT_EQ(definition->description, text);
            EXPECT_EQ(definition->localisation_table, "Common");
        });

    // Again, after a right was changed: still left alone.
    ASSERT_EQ(AuthorizationRightSet(root_, k_settings, "is-admin", "mine", "Common"),
              errAuthorizationSuccess);
    helper_tool_common_t::setup_authorization_rights(root_);
    EXPECT_EQ(defined(k_settings)->rule, "is-admin");
    EXPECT_EQ(defined(k_settings)->description, "mine");
    EXPECT_TRUE(tests::trace_lines(k_trace).empty());
}

TEST_F(HelperToolCommonRightsTest, SetupWithoutTheAuthorityToDefineChangesNothing) {
    helper_tool_common_t::setup_authorization_rights(reference(::getpwnam("authuser")->pw_uid));
    for (const auto& name : helper_tool_common_t::authRightNames()) {
        EXPECT_FALSE(defined(name)) << name;
    }
    EXPECT_TRUE(tests::trace_lines(k_trace).empty());
}

TEST_F(HelperToolCommonRightsTest, DeleteLogsEachRightItCouldNotRemoveAndGoesOn) {
    ASSERT_EQ(AuthorizationRightSet(root_, k_install, "is-admin", "x", "Common"),
              errAuthorizationSuccess);
    ASSERT_EQ(AuthorizationRightSet(root_, k_settings, "authenticate-admin", "x", "Common"),
              errAuthorizationSuccess);
    helper_tool_common_t::delete_authorization_rights(root_);
    for (const auto& name : helper_tool_common_t::authRightNames()) {
        EXPECT_FALSE(defined(name)) << name;
    }
    std::vector<std::string> lines;
    for (const auto& line : tests::trace_lines(k_trace)) {
        const auto parsed = tests::parse_trace_line(line);
        lines.push_back(parsed.level + " " + parsed.scope + ": " + parsed.message);
    }
    EXPECT_THAT(lines,
                UnorderedElementsAre(
                    "error helper_tool: Failed to remove authorization right " + k_service,
                    "error helper_tool: Failed to remove authorization right " + k_uninstall));
}

TEST_F(HelperToolCommonRightsTest, DeleteWithoutTheAuthorityLogsEveryRight) {
    helper_tool_common_t::setup_authorization_rights(root_);
    helper_tool_common_t::delete_authorization_rights(reference(::getpwnam("authuser")->pw_uid));
    EXPECT_EQ(tests::trace_lines(k_trace).size(), 4u);
    for (const auto& name : helper_tool_common_t::authRightNames()) {
        EXPECT_TRUE(defined(name)) << name;
    }
}

}  // namespace
