#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/authorization/authorization.h"
#include "platform/authorization/authorization_sqlite.h"

// The authorization database file: its safe opening, its schema and its queries. Callers hold
// the transaction around a group of queries so they see one consistent state.
class authorization_store_t {
  public:
    using token_hash_t = std::array<std::uint8_t, 32>;

    struct stored_authorization_t {
        uid_t uid = 0;
        std::int64_t issued = 0;
        std::int64_t expires = 0;
        std::vector<std::string> preauthorized_rights;
        // Made by a client and recorded on first presentation, not issued by root.
        bool client_made = false;
    };

    // How long a connection waits for another one's lock before giving up.
    static constexpr int k_busy_timeout_ms = 3000;

    // Creates the file (root-owned, 0600) and its tables when missing. Refuses, with
    // errAuthorizationInternal, a file or folder that others could read or replace, and a file
    // that is not a database of this schema.
    [[nodiscard]] static OSStatus open(std::optional<authorization_store_t>& store);

    sqlite3* handle() const { return db_.get(); }

    // Each returns errAuthorizationSuccess or errAuthorizationInternal; "not there" is an empty
    // result, not a failure.
    [[nodiscard]] OSStatus find_authorization(const token_hash_t& token_hash,
                                              std::optional<stored_authorization_t>& found);
    [[nodiscard]] OSStatus insert_authorization(const token_hash_t& token_hash, uid_t uid,
                                                const std::string& user, std::int64_t issued,
                                                std::int64_t expires,
                                                const std::vector<std::string>& rights,
                                                bool client_made = false);
    // Adds a right to a stored authorization (a right granted to it later).
    [[nodiscard]] OSStatus add_right(const token_hash_t& token_hash, const std::string& right);
    // How many live client-made authorizations the user has.
    [[nodiscard]] OSStatus count_client_made(uid_t uid, std::int64_t now, std::int64_t& count);
    [[nodiscard]] OSStatus remove_authorization(const token_hash_t& token_hash);
    [[nodiscard]] OSStatus remove_expired(std::int64_t now);

    [[nodiscard]] OSStatus find_right(const std::string& name,
                                      std::optional<AuthorizationRightDefinition>& found);
    [[nodiscard]] OSStatus set_right(const std::string& name,
                                     const AuthorizationRightDefinition& definition);
    [[nodiscard]] OSStatus remove_right(const std::string& name, bool& removed);

  private:
    explicit authorization_store_t(sqlite_connection_t db) : db_(std::move(db)) {}
    [[nodiscard]] bool ensure_schema();

    sqlite_connection_t db_;
};
