#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/audit_token.h"
#include "platform/status/os_status.h"

// Stand-in for the platform's Authorization Services: an authorization database at
// "/var/db/auth.db" holding the rights table, the authorizations that root issued and those that
// clients made, and the operations the helper calls on it. A check succeeds exactly when the
// authorization holds the right: the right's rule is satisfied for the authorization's user, an
// administrator pre-authorized the right for this very authorization, or the system's
// authorization service (polkit) grants it now, possibly after asking an administrator to
// authenticate.
//
// Library code: no logging, every outcome is a status.

inline constexpr OSStatus errAuthorizationSuccess = 0;
inline constexpr OSStatus errSecParam = -50;
inline constexpr OSStatus errAuthorizationInvalidRef = -60002;
inline constexpr OSStatus errAuthorizationDenied = -60005;
inline constexpr OSStatus errAuthorizationCanceled = -60006;
inline constexpr OSStatus errAuthorizationInteractionNotAllowed = -60007;
inline constexpr OSStatus errAuthorizationInternal = -60008;

using AuthorizationFlags = std::uint32_t;
inline constexpr AuthorizationFlags kAuthorizationFlagDefaults = 0;
inline constexpr AuthorizationFlags kAuthorizationFlagInteractionAllowed = 1u << 0;
inline constexpr AuthorizationFlags kAuthorizationFlagExtendRights = 1u << 1;
inline constexpr AuthorizationFlags kAuthorizationFlagDestroyRights = 1u << 3;

inline constexpr std::size_t kAuthorizationExternalFormLength = 32;

// The bytes a client hands over for its authorization: an unguessable token.
struct AuthorizationExternalForm {
    std::array<std::uint8_t, kAuthorizationExternalFormLength> bytes{};
};

struct AuthorizationItem {
    std::string name;
    std::vector<std::uint8_t> value;  // unused by every rule here; kept for the call's shape
    std::uint32_t flags = 0;
};
using AuthorizationRights = std::vector<AuthorizationItem>;
// Items that shape how the system asks; only kAuthorizationEnvironmentPrompt is read.
using AuthorizationEnvironment = std::vector<AuthorizationItem>;
// The text shown to the person asked to authenticate (its value, UTF-8).
inline constexpr const char* kAuthorizationEnvironmentPrompt = "prompt";

// Who presents an external form: the process at the other end of the connection it came on. The
// descriptors are borrowed from the connection, so a reference made with a presenter must not
// outlive the call it was made for.
struct AuthorizationPresenter {
    audit_token_t process;
    // The connection's socket: its hanging up cancels a question asked for the presenter.
    int connection_fd = -1;
};

// A right's entry in the rights table.
struct AuthorizationRightDefinition {
    std::string rule;
    std::string description;
    std::string localisation_table;
};

// The authorization reference. Dropping it releases it with default flags, which leaves the
// stored authorization alone; AuthorizationFree can also revoke it.
class AuthorizationRef {
  public:
    AuthorizationRef() = default;
    AuthorizationRef(AuthorizationRef&& other) noexcept;
    AuthorizationRef& operator=(AuthorizationRef&& other) noexcept;
    AuthorizationRef(const AuthorizationRef&) = delete;
    AuthorizationRef& operator=(const AuthorizationRef&) = delete;
    ~AuthorizationRef() = default;

    explicit operator bool() const { return valid_; }

  private:
    friend struct authorization_access;
    bool valid_ = false;
    std::array<std::uint8_t, 32> token_hash_{};  // SHA-256 of the external form
    std::optional<AuthorizationPresenter> presenter_;
};

// Turns an external form back into a reference. An unknown, revoked or expired authorization
// gives errAuthorizationDenied; a database that can't be used gives errAuthorizationInternal.
// Without a presenter only authorizations that root issued are known.
[[nodiscard]] OSStatus AuthorizationCreateFromExternalForm(const AuthorizationExternalForm& form,
                                                           AuthorizationRef& authorization);

// The same for a form that a process presents. A form a client made (client_form.h) is recorded
// on its first presentation, bound to the presenting user and holding no right, for
// kAuthorizationLifetimeSeconds from its making; presented later by another user, or once that
// time has passed, it is refused. A user has at most kAuthorizationMaxClientMadePerUser live
// ones; a further one is refused.
inline constexpr std::int64_t kAuthorizationMaxClientMadePerUser = 32;
[[nodiscard]] OSStatus AuthorizationCreateFromExternalForm(const AuthorizationExternalForm& form,
                                                           const AuthorizationPresenter& presenter,
                                                           AuthorizationRef& authorization);

// Succeeds when the authorization holds every right of the set. Flags: any of
// kAuthorizationFlagInteractionAllowed and kAuthorizationFlagExtendRights; other bits are
// refused with errSecParam. A right the table has no entry for is judged by the database's
// default rule, kAuthorizationRuleDefault.
//
// A right that needs an administrator to authenticate now, asked for with both flags by a
// reference that has a presenter, is asked of polkit for the presenting process (the action
// polkit_action_id names, the environment's prompt or else the right's description as the
// message), which may have the process's agent ask for a password; the call waits for the
// answer, up to k_polkit_interaction_wait, and cancels the question when the presenter hangs up
// or ends. Granted: the right is added to the authorization for the rest of its life when it is
// the presenting user's own. Refused or no polkit: errAuthorizationDenied; dismissed:
// errAuthorizationCanceled; nobody to ask: errAuthorizationInteractionNotAllowed.
//
// decided, when given, learns what settled the answer, for the record of who was let do what:
// the authorization already held every right (token: an administrator pre-authorized it, or an
// earlier grant was kept), a right's rule granted or refused it without asking anyone (rule), an
// administrator was asked through polkit (polkit), or the reference was refused before any right
// was judged (refused).
enum class AuthorizationDecision { refused, token, rule, polkit };
[[nodiscard]] const char* AuthorizationDecisionName(AuthorizationDecision decision);
[[nodiscard]] OSStatus AuthorizationCopyRights(
    const AuthorizationRef& authorization, const AuthorizationRights& rights,
    AuthorizationFlags flags, const AuthorizationEnvironment* environment = nullptr,
    AuthorizationDecision* decided = nullptr);

// Releases the reference; with kAuthorizationFlagDestroyRights the stored authorization is
// revoked as well, so its external form stops working everywhere.
OSStatus AuthorizationFree(AuthorizationRef&& authorization, AuthorizationFlags flags);

// errAuthorizationDenied when the rights table has no entry for the right.
[[nodiscard]] OSStatus AuthorizationRightGet(
    const std::string& right_name, std::optional<AuthorizationRightDefinition>& definition);

// Defining and removing rights takes a live authorization of an administrator (root or a member
// of the administrators group), as changing the platform's rights table does.
[[nodiscard]] OSStatus AuthorizationRightSet(const AuthorizationRef& authorization,
                                             const std::string& right_name, const std::string& rule,
                                             const std::string& description,
                                             const std::string& localisation_table);
[[nodiscard]] OSStatus AuthorizationRightRemove(const AuthorizationRef& authorization,
                                                const std::string& right_name);

// Issuing: root only. Makes a new authorization for the user, valid for
// kAuthorizationLifetimeSeconds, with the given rights pre-authorized as if an administrator had
// authenticated for each of them, and returns its external form.
inline constexpr std::int64_t kAuthorizationLifetimeSeconds = 300;
inline constexpr std::size_t kAuthorizationMaxPreauthorizedRights = 64;
[[nodiscard]] OSStatus AuthorizationIssueExternalForm(uid_t user,
                                                      const std::vector<std::string>& rights,
                                                      AuthorizationExternalForm& form);

// The fixed place of the authorization database.
inline constexpr const char* kAuthorizationDatabasePath = "/var/db/auth.db";
