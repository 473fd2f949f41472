#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Stand-in for the platform's Authorization Services: an authorization database at
// "/var/db/auth.db" holding the rights table and the authorizations that root issued, and the
// operations the helper calls on it. A check succeeds exactly when the authorization holds the
// right: the right's rule is satisfied for the authorization's user, or an administrator
// pre-authorized the right for this very authorization.
//
// Library code: no logging, every outcome is a status.

using OSStatus = std::int32_t;

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
};

// Turns an external form back into a reference. An unknown, revoked or expired authorization
// gives errAuthorizationDenied; a database that can't be used gives errAuthorizationInternal.
[[nodiscard]] OSStatus AuthorizationCreateFromExternalForm(const AuthorizationExternalForm& form,
                                                           AuthorizationRef& authorization);

// Succeeds when the authorization holds every right of the set. Flags: any of
// kAuthorizationFlagInteractionAllowed and kAuthorizationFlagExtendRights; other bits are
// refused with errSecParam. A right the table has no entry for is judged by the database's
// default rule, kAuthorizationRuleDefault.
[[nodiscard]] OSStatus AuthorizationCopyRights(const AuthorizationRef& authorization,
                                               const AuthorizationRights& rights,
                                               AuthorizationFlags flags);

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
