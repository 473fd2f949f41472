#include "platform/authorization/authorization.h"

#include <openssl/evp.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/authorization/client_form.h"
#include "tests/support/authorization_database.h"
#include "tests/support/files.h"
#include "tests/support/sandbox.h"

namespace {

constexpr AuthorizationFlags k_flags =
    kAuthorizationFlagInteractionAllowed | kAuthorizationFlagExtendRights;
const std::string k_right = "com.example.test.right";
const std::string k_other_right = "com.example.test.other";

AuthorizationExternalForm issue(uid_t uid, const std::vector<std::string>& rights = {}) {
    AuthorizationExternalForm form;
    EXPECT_EQ(AuthorizationIssueExternalForm(uid, rights, form), errAuthorizationSuccess);
    return form;
}

// The status of asking for one right, as the helper's check asks for it.
OSStatus check(const AuthorizationExternalForm& form, const std::string& right,
               AuthorizationFlags flags = k_flags) {
    AuthorizationRef ref;
    const OSStatus created = AuthorizationCreateFromExternalForm(form, ref);
    if (created != errAuthorizationSuccess) {
        return created;
    }
    return AuthorizationCopyRights(ref, {{right, {}, 0}}, flags);
}

AuthorizationRef reference(const AuthorizationExternalForm& form) {
    AuthorizationRef ref;
    EXPECT_EQ(AuthorizationCreateFromExternalForm(form, ref), errAuthorizationSuccess);
    return ref;
}

void define(const std::string& right, const std::string& rule) {
    auto root = reference(issue(0));
    ASSERT_EQ(AuthorizationRightSet(root, right, rule, "test right", "Common"),
              errAuthorizationSuccess);
}

AuthorizationExternalForm random_form() {
    AuthorizationExternalForm form;
    EXPECT_EQ(::getrandom(form.bytes.data(), form.bytes.size(), 0),
              static_cast<ssize_t>(form.bytes.size()));
    return form;
}

class AuthorizationTest : public testing::Test {
  protected:
    void SetUp() override {
        tests::require_sandbox();
        tests::ensure_authorization_users();
        tests::remove_authorization_database();
        admin_ = tests::uid_of("authadmin");
        user_ = tests::uid_of("authuser");
        ASSERT_NE(admin_, static_cast<uid_t>(-1));
        ASSERT_NE(user_, static_cast<uid_t>(-1));
    }

    uid_t admin_ = 0;
    uid_t user_ = 0;
};

TEST_F(AuthorizationTest, DatabaseIsRootOnlyAndRefusedOtherwise) {
    const auto form = issue(0, {k_right});
    struct stat info {};
    ASSERT_EQ(::stat(kAuthorizationDatabasePath, &info), 0);
    EXPECT_EQ(info.st_uid, 0u);
    EXPECT_EQ(info.st_mode & 07777, 0600u);

    ASSERT_EQ(::chmod(kAuthorizationDatabasePath, 0640), 0);
    EXPECT_EQ(check(form, k_right), errAuthorizationInternal);
    ASSERT_EQ(::chmod(kAuthorizationDatabasePath, 0600), 0);
    EXPECT_EQ(check(form, k_right), errAuthorizationSuccess);

    ASSERT_EQ(::chown(kAuthorizationDatabasePath, user_, 0), 0);
    EXPECT_EQ(check(form, k_right), errAuthorizationInternal);
    AuthorizationExternalForm refused;
    EXPECT_EQ(AuthorizationIssueExternalForm(0, {}, refused), errAuthorizationInternal);

    // A link in its place is not followed, whatever it points at.
    ASSERT_EQ(::chown(kAuthorizationDatabasePath, 0, 0), 0);
    std::filesystem::rename(kAuthorizationDatabasePath, "/var/db/elsewhere.db");
    std::filesystem::create_symlink("/var/db/elsewhere.db", kAuthorizationDatabasePath);
    EXPECT_EQ(check(form, k_right), errAuthorizationInternal);
}

TEST_F(AuthorizationTest, OnlyTheHashOfTheTokenIsStored) {
    const auto form = issue(admin_, {k_right});
    std::array<std::uint8_t, 32> hash{};
    unsigned int length = 0;
    ASSERT_EQ(EVP_Digest(form.bytes.data(), form.bytes.size(), hash.data(), &length, EVP_sha256(),
                         nullptr),
              1);
    const std::string content = tests::read_file(kAuthorizationDatabasePath);
    const std::string token(form.bytes.begin(), form.bytes.end());
    EXPECT_EQ(content.find(token), std::string::npos);
    EXPECT_NE(content.find(std::string(hash.begin(), hash.end())), std::string::npos);
}

TEST_F(AuthorizationTest, UnknownExpiredAndSetBackFormsAreDenied) {
    EXPECT_EQ(check(random_form(), k_right), errAuthorizationDenied);
    AuthorizationExternalForm zero;
    EXPECT_EQ(check(zero, k_right), errAuthorizationDenied);

    const auto expired = issue(0, {k_right});
    const auto stretched = issue(0, {k_right});
    const auto live = issue(0, {k_right});
    EXPECT_NE(expired.bytes, live.bytes);
    define(k_right, "authenticate-admin");
    ASSERT_EQ(check(expired, k_right), errAuthorizationSuccess);

    // Rewrite the expiry of everything but the last one: one a second in the past, one far in
    // the future (what a clock set back looks like).
    tests::execute_on_authorization_database(
        "UPDATE authorizations SET expires = strftime('%s','now') - 1 "
        "WHERE rowid = (SELECT MIN(rowid) FROM authorizations)");
    tests::execute_on_authorization_database(
        "UPDATE authorizations SET expires = strftime('%s','now') + 3600 "
        "WHERE rowid = (SELECT MIN(rowid) + 1 FROM authorizations)");
    EXPECT_EQ(check(expired, k_right), errAuthorizationDenied);
    EXPECT_EQ(check(stretched, k_right), errAuthorizationDenied);
    EXPECT_EQ(check(live, k_right), errAuthorizationSuccess);
}

TEST_F(AuthorizationTest, ExpiryAppliesToAReferenceAlreadyCreated) {
    define(k_right, "authenticate-admin");
    auto ref = reference(issue(0, {k_right}));
    ASSERT_EQ(AuthorizationCopyRights(ref, {{k_right, {}, 0}}, k_flags), errAuthorizationSuccess);
    tests::execute_on_authorization_database(
        "UPDATE authorizations SET expires = strftime('%s','now') - 1");
    EXPECT_EQ(AuthorizationCopyRights(ref, {{k_right, {}, 0}}, k_flags), errAuthorizationDenied);
}

TEST_F(AuthorizationTest, IsAdminHoldsForAdministratorsWithoutPreauthorization) {
    define(k_right, "is-admin");
    EXPECT_EQ(check(issue(0), k_right), errAuthorizationSuccess);
    EXPECT_EQ(check(issue(admin_), k_right), errAuthorizationSuccess);
    EXPECT_EQ(check(issue(user_), k_right), errAuthorizationDenied);
    // Without interaction the ordinary user's request can't even be put to an administrator.
    EXPECT_EQ(check(issue(user_), k_right, kAuthorizationFlagExtendRights),
              errAuthorizationInteractionNotAllowed);
    // A right not held yet can't be gained without extending.
    EXPECT_EQ(check(issue(admin_), k_right, kAuthorizationFlagDefaults), errAuthorizationDenied);
    // An administrator who authenticated for it lets an ordinary user have it.
    EXPECT_EQ(check(issue(user_, {k_right}), k_right), errAuthorizationSuccess);
}

TEST_F(AuthorizationTest, AuthenticateAdminHoldsOnlyWhenPreauthorizedForThatRight) {
    define(k_right, "authenticate-admin");
    EXPECT_EQ(check(issue(0), k_right), errAuthorizationDenied);
    EXPECT_EQ(check(issue(admin_), k_right), errAuthorizationDenied);
    EXPECT_EQ(check(issue(admin_, {k_other_right}), k_right), errAuthorizationDenied);
    EXPECT_EQ(check(issue(user_, {k_right}), k_right), errAuthorizationSuccess);
    EXPECT_EQ(check(issue(user_, {k_right}), k_right, kAuthorizationFlagDefaults),
              errAuthorizationSuccess);

    // Several rights at once: all of them or nothing.
    define(k_other_right, "authenticate-admin");
    auto ref = reference(issue(user_, {k_right}));
    EXPECT_EQ(AuthorizationCopyRights(ref, {{k_right, {}, 0}, {k_other_right, {}, 0}}, k_flags),
              errAuthorizationDenied);
}

// A right the table lacks is judged by the database's default rule: an administrator must
// authenticate, so only the authorization issued with that right holds it.
TEST_F(AuthorizationTest, AnUndefinedRightIsJudgedByTheDefaultRule) {
    const auto preauthorized = issue(user_, {k_right});
    EXPECT_EQ(check(preauthorized, k_right), errAuthorizationSuccess);
    EXPECT_EQ(check(issue(admin_), k_right), errAuthorizationDenied);
    EXPECT_EQ(check(issue(0, {k_other_right}), k_right), errAuthorizationDenied);

    // The table's entry wins over the default.
    define(k_right, "is-admin");
    EXPECT_EQ(check(issue(admin_), k_right), errAuthorizationSuccess);
    // A rule this database does not know holds for nobody, pre-authorized or not.
    define(k_right, "allow");
    EXPECT_EQ(check(preauthorized, k_right), errAuthorizationDenied);
}

TEST_F(AuthorizationTest, RightsTableNeedsALiveAdministratorAuthorization) {
    std::optional<AuthorizationRightDefinition> definition;
    EXPECT_EQ(AuthorizationRightGet(k_right, definition), errAuthorizationDenied);
    EXPECT_FALSE(definition);

    auto user = reference(issue(user_, {k_right}));
    EXPECT_EQ(AuthorizationRightSet(user, k_right, "is-admin", "text", "Common"),
              errAuthorizationDenied);
    EXPECT_EQ(AuthorizationRightGet(k_right, definition), errAuthorizationDenied);

    auto admin = reference(issue(admin_));
    ASSERT_EQ(AuthorizationRightSet(admin, k_right, "is-admin", "Shown to the user", "Common"),
              errAuthorizationSuccess);
    ASSERT_EQ(AuthorizationRightGet(k_right, definition), errAuthorizationSuccess);
    ASSERT_TRUE(definition);
    EXPECT_EQ(definition->rule, "is-admin");
    EXPECT_EQ(definition->description, "Shown to the user");
    EXPECT_EQ(definition->localisation_table, "Common");

    EXPECT_EQ(AuthorizationRightRemove(user, k_right), errAuthorizationDenied);
    EXPECT_EQ(AuthorizationRightRemove(admin, k_right), errAuthorizationSuccess);
    EXPECT_EQ(AuthorizationRightRemove(admin, k_right), errAuthorizationDenied);
    EXPECT_EQ(AuthorizationRightGet(k_right, definition), errAuthorizationDenied);

    tests::execute_on_authorization_database(
        "UPDATE authorizations SET expires = strftime('%s','now') - 1");
    EXPECT_EQ(AuthorizationRightSet(admin, k_right, "is-admin", "text", "Common"),
              errAuthorizationDenied);
}

TEST_F(AuthorizationTest, BadParametersAndReferencesAreRefused) {
    define(k_right, "is-admin");
    AuthorizationRef empty;
    EXPECT_EQ(AuthorizationCopyRights(empty, {{k_right, {}, 0}}, k_flags),
              errAuthorizationInvalidRef);
    EXPECT_EQ(AuthorizationRightSet(empty, k_right, "is-admin", "", "Common"),
              errAuthorizationInvalidRef);
    EXPECT_EQ(AuthorizationFree(std::move(empty), 0), errAuthorizationInvalidRef);

    auto ref = reference(issue(0));
    EXPECT_EQ(AuthorizationCopyRights(ref, {}, k_flags), errSecParam);
    EXPECT_EQ(AuthorizationCopyRights(ref, {{"", {}, 0}}, k_flags), errSecParam);
    EXPECT_EQ(AuthorizationCopyRights(ref, {{"two words", {}, 0}}, k_flags), errSecParam);
    EXPECT_EQ(AuthorizationCopyRights(ref, {{std::string(1025, 'a'), {}, 0}}, k_flags),
              errSecParam);
    EXPECT_EQ(AuthorizationCopyRights(ref, {{k_right, {}, 0}}, 1u << 4), errSecParam);
    EXPECT_EQ(AuthorizationRightSet(ref, k_right, "is-admin", std::string("a\0b", 3), "Common"),
              errSecParam);

    AuthorizationExternalForm form;
    EXPECT_EQ(AuthorizationIssueExternalForm(0, std::vector<std::string>(65, k_right), form),
              errSecParam);
    EXPECT_EQ(AuthorizationIssueExternalForm(0, {"bad\nname"}, form), errSecParam);
    EXPECT_EQ(AuthorizationIssueExternalForm(4000000000u, {}, form), errSecParam);
    EXPECT_EQ(form.bytes, AuthorizationExternalForm{}.bytes);
}

TEST_F(AuthorizationTest, FreeingWithDestroyRightsRevokesTheAuthorization) {
    define(k_right, "is-admin");
    const auto form = issue(admin_);
    AuthorizationRef kept = reference(form);
    EXPECT_EQ(AuthorizationFree(reference(form), kAuthorizationFlagDefaults),
              errAuthorizationSuccess);
    EXPECT_EQ(AuthorizationCopyRights(kept, {{k_right, {}, 0}}, k_flags), errAuthorizationSuccess);

    EXPECT_EQ(AuthorizationFree(reference(form), kAuthorizationFlagDestroyRights),
              errAuthorizationSuccess);
    EXPECT_EQ(AuthorizationCopyRights(kept, {{k_right, {}, 0}}, k_flags), errAuthorizationDenied);
    EXPECT_EQ(check(form, k_right), errAuthorizationDenied);
}

TEST_F(AuthorizationTest, OnlyRootIssues) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(10);
        }
        AuthorizationExternalForm form;
        const OSStatus status = AuthorizationIssueExternalForm(65534, {k_right}, form);
        ::_exit(status == errAuthorizationDenied ? 0 : 11);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(AuthorizationTest, ACorruptDatabaseFailsEveryOperationWithoutHarm) {
    const auto form = issue(0, {k_right});
    {
        std::ofstream out(kAuthorizationDatabasePath, std::ios::binary | std::ios::trunc);
        out << std::string(8192, '\x5a');
    }
    const std::string before = tests::read_file(kAuthorizationDatabasePath);
    EXPECT_EQ(check(form, k_right), errAuthorizationInternal);
    std::optional<AuthorizationRightDefinition> definition;
    EXPECT_EQ(AuthorizationRightGet(k_right, definition), errAuthorizationInternal);
    AuthorizationExternalForm issued;
    EXPECT_EQ(AuthorizationIssueExternalForm(0, {}, issued), errAuthorizationInternal);
    EXPECT_EQ(tests::read_file(kAuthorizationDatabasePath), before);
}

// Another process holds the write lock past our busy time-out, then lets go.
TEST_F(AuthorizationTest, ADatabaseLockedByAnotherProcessFailsThenRecovers) {
    define(k_right, "is-admin");
    const auto form = issue(admin_);
    tests::authorization_database_locker locker;
    ASSERT_TRUE(locker.held());

    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(check(form, k_right), errAuthorizationInternal);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    AuthorizationExternalForm issued;
    EXPECT_EQ(AuthorizationIssueExternalForm(0, {}, issued), errAuthorizationInternal);

    ASSERT_TRUE(locker.release());
    EXPECT_EQ(check(form, k_right), errAuthorizationSuccess);
}

TEST_F(AuthorizationTest, ChecksRunWhileAuthorizationsAreIssued) {
    define(k_right, "authenticate-admin");
    const auto granted = issue(user_, {k_right});
    const auto refused = issue(user_, {k_other_right});
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    std::atomic<int> checks{0};
    auto checker = [&] {
        while (!done.load() || checks.load() < 20) {
            if (check(granted, k_right) != errAuthorizationSuccess) {
                ++wrong;
            }
            if (check(refused, k_right) != errAuthorizationDenied) {
                ++wrong;
            }
            if (check(random_form(), k_right) != errAuthorizationDenied) {
                ++wrong;
            }
            ++checks;
        }
    };
    std::thread first(checker);
    std::thread second(checker);
    std::vector<AuthorizationExternalForm> issued;
    for (int i = 0; i < 40; ++i) {
        AuthorizationExternalForm form;
        EXPECT_EQ(AuthorizationIssueExternalForm(user_, {k_right}, form), errAuthorizationSuccess);
        issued.push_back(form);
    }
    done = true;
    first.join();
    second.join();
    EXPECT_EQ(wrong.load(), 0);
    for (const auto& form : issued) {
        EXPECT_EQ(check(form, k_right), errAuthorizationSuccess);
    }
}

}  // namespace

namespace {

AuthorizationPresenter presenter_of(uid_t uid) {
    AuthorizationPresenter presenter;
    presenter.process.pid = ::getpid();
    presenter.process.uid = uid;
    return presenter;
}

AuthorizationExternalForm client_form() {
    AuthorizationExternalForm form;
    EXPECT_TRUE(make_client_form(form.bytes));
    return form;
}

TEST_F(AuthorizationTest, ClientFormsAreBoundToTheirFirstUserAndBoundedPerUser) {
    AuthorizationRef ref;
    const auto mine = client_form();
    // Without a presenter nothing client-made is taken; with one it is recorded, for that user.
    EXPECT_EQ(AuthorizationCreateFromExternalForm(mine, ref), errAuthorizationDenied);
    EXPECT_EQ(AuthorizationCreateFromExternalForm(mine, presenter_of(user_), ref),
              errAuthorizationSuccess);
    EXPECT_EQ(AuthorizationCreateFromExternalForm(mine, presenter_of(user_), ref),
              errAuthorizationSuccess);
    EXPECT_EQ(AuthorizationCreateFromExternalForm(mine, presenter_of(admin_), ref),
              errAuthorizationDenied);
    // It holds nothing by itself, and with no one to ask about, nothing is granted.
    ASSERT_EQ(AuthorizationCreateFromExternalForm(mine, presenter_of(user_), ref),
              errAuthorizationSuccess);
    EXPECT_EQ(AuthorizationCopyRights(ref, {{k_right, {}, 0}}, kAuthorizationFlagExtendRights),
              errAuthorizationInteractionNotAllowed);

    for (std::int64_t made = 1; made < kAuthorizationMaxClientMadePerUser; ++made) {
        ASSERT_EQ(AuthorizationCreateFromExternalForm(client_form(), presenter_of(user_), ref),
                  errAuthorizationSuccess);
    }
    EXPECT_EQ(AuthorizationCreateFromExternalForm(client_form(), presenter_of(user_), ref),
              errAuthorizationDenied);
    // Another user's are counted apart, and root's tokens are not client-made.
    EXPECT_EQ(AuthorizationCreateFromExternalForm(client_form(), presenter_of(admin_), ref),
              errAuthorizationSuccess);
    EXPECT_EQ(check(issue(user_, {k_right}), k_right), errAuthorizationSuccess);
}

TEST_F(AuthorizationTest, ADatabaseOfTheFirstSchemaIsUpgradedAndItsTokensKeepWorking) {
    const auto token = issue(user_, {k_right});
    tests::execute_on_authorization_database(
        "ALTER TABLE authorizations DROP COLUMN client_made; PRAGMA user_version = 1;");
    EXPECT_EQ(check(token, k_right), errAuthorizationSuccess);
    AuthorizationRef ref;
    EXPECT_EQ(AuthorizationCreateFromExternalForm(client_form(), presenter_of(user_), ref),
              errAuthorizationSuccess);
    EXPECT_EQ(check(token, k_right), errAuthorizationSuccess);
}

}  // namespace
