#include "platform/authorization/authorization_store.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string_view>
#include <utility>

#include "base/unique_fd.h"

namespace {

constexpr const char* k_folder = "/var/db";
constexpr int k_schema_version = 2;

constexpr std::string_view k_schema = R"sql(
CREATE TABLE IF NOT EXISTS rights (
    name TEXT PRIMARY KEY NOT NULL,
    rule TEXT NOT NULL,
    description TEXT NOT NULL,
    localisation_table TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS authorizations (
    token_hash BLOB PRIMARY KEY NOT NULL,
    uid INTEGER NOT NULL,
    user TEXT NOT NULL,
    issued INTEGER NOT NULL,
    expires INTEGER NOT NULL,
    client_made INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE IF NOT EXISTS authorization_rights (
    token_hash BLOB NOT NULL,
    right_name TEXT NOT NULL,
    PRIMARY KEY (token_hash, right_name)
);
PRAGMA user_version = 2;
)sql";

// Version 1 knew only authorizations that root issued.
constexpr std::string_view k_upgrade_from_1 = R"sql(
ALTER TABLE authorizations ADD COLUMN client_made INTEGER NOT NULL DEFAULT 0;
PRAGMA user_version = 2;
)sql";

// Only root may be able to replace the folder's entries.
bool folder_is_safe() {
    if (::mkdir(k_folder, 0755) != 0 && errno != EEXIST) {
        return false;
    }
    struct stat info {};
    return ::lstat(k_folder, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == 0 &&
           (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The file is created by us with its final mode before SQLite ever sees it: SQLite would create
// it world-readable. Closing a descriptor drops every POSIX lock this process holds on the file,
// including other connections' locks, so a descriptor is opened only by the thread that creates
// the file, when no connection can exist on it yet.
bool create_file_if_missing() {
    struct stat info {};
    if (::lstat(kAuthorizationDatabasePath, &info) == 0) {
        return true;
    }
    if (errno != ENOENT) {
        return false;
    }
    unique_fd fd(::open(kAuthorizationDatabasePath,
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) {
        return errno == EEXIST;
    }
    return ::fchmod(fd.get(), 0600) == 0;
}

bool file_is_safe() {
    struct stat info {};
    return ::lstat(kAuthorizationDatabasePath, &info) == 0 && S_ISREG(info.st_mode) &&
           info.st_uid == 0 && (info.st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

std::optional<int> user_version(sqlite3* db) {
    auto statement = sqlite_statement_t::prepare(db, "PRAGMA user_version");
    if (!statement || statement.step() != SQLITE_ROW) {
        return std::nullopt;
    }
    return static_cast<int>(statement.column_int64(0));
}

OSStatus run(sqlite_statement_t& statement) {
    return statement.step() == SQLITE_DONE ? errAuthorizationSuccess : errAuthorizationInternal;
}

// A lookup by key finds one row or none: errAuthorizationInternal when the query fails, else
// success with `row` telling whether the statement stands on a row to read.
template <typename Key>
OSStatus look_up(sqlite_statement_t& statement, const Key& key, bool& row) {
    row = false;
    if (!statement.bind(1, key)) {
        return errAuthorizationInternal;
    }
    const int step = statement.step();
    if (step == SQLITE_DONE) {
        return errAuthorizationSuccess;
    }
    if (step != SQLITE_ROW) {
        return errAuthorizationInternal;
    }
    row = true;
    return errAuthorizationSuccess;
}

}  // namespace

OSStatus authorization_store_t::open(std::optional<authorization_store_t>& store) {
    store.reset();
    if (!folder_is_safe() || !create_file_if_missing() || !file_is_safe()) {
        return errAuthorizationInternal;
    }
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open_v2(kAuthorizationDatabasePath, &raw,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW |
                                           SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_PRIVATECACHE,
                                       nullptr);
    sqlite_connection_t db(raw);  // a failed open still hands out a handle to close
    if (opened != SQLITE_OK) {
        return errAuthorizationInternal;
    }
    sqlite3_busy_timeout(db.get(), k_busy_timeout_ms);
    sqlite3_extended_result_codes(db.get(), 1);
    authorization_store_t result(std::move(db));
    if (!result.ensure_schema()) {
        return errAuthorizationInternal;
    }
    store.emplace(std::move(result));
    return errAuthorizationSuccess;
}

bool authorization_store_t::ensure_schema() {
    // Every connection asks; only the first one ever writes the tables. A file with a newer
    // schema than ours is not ours to guess about.
    auto version = user_version(db_.get());
    if (version == k_schema_version) {
        return true;
    }
    if (!version || (*version != 0 && *version != 1)) {
        return false;
    }
    auto transaction = sqlite_transaction_t::begin(db_.get(), sqlite_transaction_t::kind::write);
    if (!transaction) {
        return false;
    }
    version = user_version(db_.get());
    if (version == k_schema_version) {
        return transaction->commit();
    }
    if (version != 0 && version != 1) {
        return false;
    }
    const std::string script(version == 0 ? k_schema : k_upgrade_from_1);
    if (sqlite3_exec(db_.get(), script.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
        return false;
    }
    static_assert(k_schema_version == 2, "the schema texts set user_version");
    return transaction->commit();
}

OSStatus authorization_store_t::find_authorization(const token_hash_t& token_hash,
                                                   std::optional<stored_authorization_t>& found) {
    found.reset();
    auto statement = sqlite_statement_t::prepare(
        db_.get(),
        "SELECT uid, issued, expires, client_made FROM authorizations WHERE token_hash = ?1");
    bool row = false;
    const OSStatus status = look_up(statement, token_hash, row);
    if (status != errAuthorizationSuccess || !row) {
        return status;  // a failure, or nothing there
    }
    stored_authorization_t record;
    const std::int64_t uid = statement.column_int64(0);
    if (uid < 0 || uid > static_cast<std::int64_t>(static_cast<uid_t>(-1) - 1)) {
        return errAuthorizationInternal;
    }
    record.uid = static_cast<uid_t>(uid);
    record.issued = statement.column_int64(1);
    record.expires = statement.column_int64(2);
    record.client_made = statement.column_int64(3) != 0;

    auto rights = sqlite_statement_t::prepare(
        db_.get(), "SELECT right_name FROM authorization_rights WHERE token_hash = ?1");
    if (!rights.bind(1, token_hash)) {
        return errAuthorizationInternal;
    }
    int step = SQLITE_ROW;
    while ((step = rights.step()) == SQLITE_ROW) {
        if (record.preauthorized_rights.size() >= kAuthorizationMaxPreauthorizedRights) {
            return errAuthorizationInternal;
        }
        record.preauthorized_rights.push_back(rights.column_text(0));
    }
    if (step != SQLITE_DONE) {
        return errAuthorizationInternal;
    }
    found = std::move(record);
    return errAuthorizationSuccess;
}

OSStatus authorization_store_t::insert_authorization(const token_hash_t& token_hash, uid_t uid,
                                                     const std::string& user, std::int64_t issued,
                                                     std::int64_t expires,
                                                     const std::vector<std::string>& rights,
                                                     bool client_made) {
    auto statement = sqlite_statement_t::prepare(
        db_.get(),
        "INSERT INTO authorizations (token_hash, uid, user, issued, expires, client_made) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    if (!statement.bind(1, token_hash) || !statement.bind(2, static_cast<std::int64_t>(uid)) ||
        !statement.bind(3, user) || !statement.bind(4, issued) || !statement.bind(5, expires) ||
        !statement.bind(6, std::int64_t{client_made ? 1 : 0})) {
        return errAuthorizationInternal;
    }
    if (run(statement) != errAuthorizationSuccess) {
        return errAuthorizationInternal;
    }
    for (const auto& right : rights) {
        if (add_right(token_hash, right) != errAuthorizationSuccess) {
            return errAuthorizationInternal;
        }
    }
    return errAuthorizationSuccess;
}

OSStatus authorization_store_t::add_right(const token_hash_t& token_hash,
                                          const std::string& right) {
    auto insert = sqlite_statement_t::prepare(
        db_.get(),
        "INSERT OR IGNORE INTO authorization_rights (token_hash, right_name) VALUES (?1, ?2)");
    if (!insert.bind(1, token_hash) || !insert.bind(2, right)) {
        return errAuthorizationInternal;
    }
    return run(insert);
}

OSStatus authorization_store_t::count_client_made(uid_t uid, std::int64_t now,
                                                  std::int64_t& count) {
    count = 0;
    auto statement = sqlite_statement_t::prepare(
        db_.get(),
        "SELECT count(*) FROM authorizations WHERE client_made = 1 AND uid = ?1 AND expires > ?2");
    if (!statement.bind(1, static_cast<std::int64_t>(uid)) || !statement.bind(2, now) ||
        statement.step() != SQLITE_ROW) {
        return errAuthorizationInternal;
    }
    count = statement.column_int64(0);
    return errAuthorizationSuccess;
}

OSStatus authorization_store_t::remove_authorization(const token_hash_t& token_hash) {
    auto rights = sqlite_statement_t::prepare(
        db_.get(), "DELETE FROM authorization_rights WHERE token_hash = ?1");
    auto record =
        sqlite_statement_t::prepare(db_.get(), "DELETE FROM authorizations WHERE token_hash = ?1");
    if (!rights.bind(1, token_hash) || !record.bind(1, token_hash) ||
        run(rights) != errAuthorizationSuccess || run(record) != errAuthorizationSuccess) {
        return errAuthorizationInternal;
    }
    return errAuthorizationSuccess;
}

OSStatus authorization_store_t::remove_expired(std::int64_t now) {
    auto rights =
        sqlite_statement_t::prepare(db_.get(),
                                    "DELETE FROM authorization_rights WHERE token_hash IN "
                                    "(SELECT token_hash FROM authorizations WHERE expires <= ?1)");
    auto records =
        sqlite_statement_t::prepare(db_.get(), "DELETE FROM authorizations WHERE expires <= ?1");
    if (!rights.bind(1, now) || !records.bind(1, now) || run(rights) != errAuthorizationSuccess ||
        run(records) != errAuthorizationSuccess) {
        return errAuthorizationInternal;
    }
    return errAuthorizationSuccess;
}

OSStatus authorization_store_t::find_right(const std::string& name,
                                           std::optional<AuthorizationRightDefinition>& found) {
    found.reset();
    auto statement = sqlite_statement_t::prepare(
        db_.get(), "SELECT rule, description, localisation_table FROM rights WHERE name = ?1");
    bool row = false;
    const OSStatus status = look_up(statement, name, row);
    if (status != errAuthorizationSuccess || !row) {
        return status;  // a failure, or nothing there
    }
    found = AuthorizationRightDefinition{statement.column_text(0), statement.column_text(1),
                                         statement.column_text(2)};
    return errAuthorizationSuccess;
}

OSStatus authorization_store_t::set_right(const std::string& name,
                                          const AuthorizationRightDefinition& definition) {
    auto statement = sqlite_statement_t::prepare(
        db_.get(),
        "INSERT INTO rights (name, rule, description, localisation_table) "
        "VALUES (?1, ?2, ?3, ?4) ON CONFLICT (name) DO UPDATE SET rule = excluded.rule, "
        "description = excluded.description, localisation_table = excluded.localisation_table");
    if (!statement.bind(1, name) || !statement.bind(2, definition.rule) ||
        !statement.bind(3, definition.description) ||
        !statement.bind(4, definition.localisation_table)) {
        return errAuthorizationInternal;
    }
    return run(statement);
}

OSStatus authorization_store_t::remove_right(const std::string& name, bool& removed) {
    removed = false;
    auto statement = sqlite_statement_t::prepare(db_.get(), "DELETE FROM rights WHERE name = ?1");
    if (!statement.bind(1, name) || run(statement) != errAuthorizationSuccess) {
        return errAuthorizationInternal;
    }
    removed = sqlite3_changes(db_.get()) > 0;
    return errAuthorizationSuccess;
}
