#include "platform/authorization/authorization_sqlite.h"

#include <limits>

sqlite_statement_t sqlite_statement_t::prepare(sqlite3* db, std::string_view sql) {
    sqlite_statement_t result;
    if (db == nullptr || sql.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return result;
    }
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &statement, nullptr) ==
        SQLITE_OK) {
        result.statement_.reset(statement);
    } else {
        sqlite3_finalize(statement);
    }
    return result;
}

bool sqlite_statement_t::bind(int index, std::string_view text) {
    if (!statement_ || text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return false;
    }
    return sqlite3_bind_text(statement_.get(), index, text.data(), static_cast<int>(text.size()),
                             SQLITE_TRANSIENT) == SQLITE_OK;
}

bool sqlite_statement_t::bind(int index, std::span<const std::uint8_t> blob) {
    if (!statement_ || blob.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return false;
    }
    return sqlite3_bind_blob(statement_.get(), index, blob.data(), static_cast<int>(blob.size()),
                             SQLITE_TRANSIENT) == SQLITE_OK;
}

bool sqlite_statement_t::bind(int index, std::int64_t value) {
    return statement_ && sqlite3_bind_int64(statement_.get(), index, value) == SQLITE_OK;
}

int sqlite_statement_t::step() {
    return statement_ ? sqlite3_step(statement_.get()) : SQLITE_MISUSE;
}

std::int64_t sqlite_statement_t::column_int64(int column) const {
    return sqlite3_column_int64(statement_.get(), column);
}

std::string sqlite_statement_t::column_text(int column) const {
    const auto* text = sqlite3_column_text(statement_.get(), column);
    const int length = sqlite3_column_bytes(statement_.get(), column);
    if (text == nullptr || length <= 0) {
        return {};
    }
    return {reinterpret_cast<const char*>(text), static_cast<std::size_t>(length)};
}

sqlite_transaction_t::~sqlite_transaction_t() {
    if (db_ != nullptr) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
}

std::optional<sqlite_transaction_t> sqlite_transaction_t::begin(sqlite3* db, kind k) {
    const char* sql = k == kind::write ? "BEGIN IMMEDIATE" : "BEGIN DEFERRED";
    if (db == nullptr || sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        return std::nullopt;
    }
    return sqlite_transaction_t(db);
}

bool sqlite_transaction_t::commit() {
    if (db_ == nullptr) {
        return false;
    }
    if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        return false;  // the destructor rolls back
    }
    db_ = nullptr;
    return true;
}
