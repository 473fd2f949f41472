#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

// Owning handles of an SQLite connection and of a prepared statement. Values reach SQL only
// through bound parameters.

struct sqlite_connection_deleter {
    void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
using sqlite_connection_t = std::unique_ptr<sqlite3, sqlite_connection_deleter>;

class sqlite_statement_t {
  public:
    sqlite_statement_t() = default;

    // Prepares one statement; an empty handle when it does not compile or the database fails.
    static sqlite_statement_t prepare(sqlite3* db, std::string_view sql);

    explicit operator bool() const { return statement_ != nullptr; }

    // Parameters count from 1, as in SQLite. Each returns false when the value can't be bound.
    [[nodiscard]] bool bind(int index, std::string_view text);
    [[nodiscard]] bool bind(int index, std::span<const std::uint8_t> blob);
    [[nodiscard]] bool bind(int index, std::int64_t value);

    // SQLITE_ROW, SQLITE_DONE or an error code.
    [[nodiscard]] int step();

    std::int64_t column_int64(int column) const;
    std::string column_text(int column) const;

  private:
    struct deleter {
        void operator()(sqlite3_stmt* statement) const noexcept { sqlite3_finalize(statement); }
    };
    std::unique_ptr<sqlite3_stmt, deleter> statement_;
};

// A transaction that rolls back unless committed.
class sqlite_transaction_t {
  public:
    sqlite_transaction_t() = default;
    sqlite_transaction_t(sqlite_transaction_t&& other) noexcept
        : db_(std::exchange(other.db_, nullptr)) {}
    sqlite_transaction_t& operator=(sqlite_transaction_t&&) = delete;
    sqlite_transaction_t(const sqlite_transaction_t&) = delete;
    sqlite_transaction_t& operator=(const sqlite_transaction_t&) = delete;
    ~sqlite_transaction_t();

    // Writers take the write lock at once: a deferred transaction that upgrades later can fail
    // with a busy error without waiting, and the busy time-out would not apply.
    enum class kind { read, write };
    [[nodiscard]] static std::optional<sqlite_transaction_t> begin(sqlite3* db, kind k);
    [[nodiscard]] bool commit();

  private:
    explicit sqlite_transaction_t(sqlite3* db) : db_(db) {}
    sqlite3* db_ = nullptr;
};
