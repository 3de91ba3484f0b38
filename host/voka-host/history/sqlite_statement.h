#pragma once
// One prepared SQLite statement, finalised when it goes. A statement kept for
// the database's life is reset after each use (Use), so that it holds no
// read transaction open and keeps no bound blob alive.
#include <sqlite3.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "host/voka-host/history/history_error.h"

class Statement {
public:
    Statement(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr) != SQLITE_OK)
            throw HistoryError(std::string("cannot prepare statement: ") + sqlite3_errmsg(db));
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int i, int64_t v) {
        sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    Statement& bind(int i, const std::string& v) {
        sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bind(int i, std::span<const uint8_t> v) {
        sqlite3_bind_blob(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    int step() { return sqlite3_step(stmt_); }
    void reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    int64_t integer(int col) const { return sqlite3_column_int64(stmt_, col); }
    bool is_null(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
    std::string text(int col) const {
        const auto* t = sqlite3_column_text(stmt_, col);
        return t ? std::string(reinterpret_cast<const char*>(t), static_cast<size_t>(sqlite3_column_bytes(stmt_, col)))
                 : std::string();
    }
    std::vector<uint8_t> blob(int col) const {
        const auto* b = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, col));
        return b ? std::vector<uint8_t>(b, b + sqlite3_column_bytes(stmt_, col)) : std::vector<uint8_t>();
    }

    // A use of a kept statement: resets it when the use ends.
    class Use {
    public:
        explicit Use(Statement& s) : s_(s) {}
        ~Use() { s_.reset(); }
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;
        Statement* operator->() { return &s_; }
        Statement& operator*() { return s_; }

    private:
        Statement& s_;
    };

private:
    sqlite3_stmt* stmt_ = nullptr;
};
