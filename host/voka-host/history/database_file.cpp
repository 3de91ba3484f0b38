#include "host/voka-host/history/database_file.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

#include <fmt/format.h>

#include "plugin/shared/byte_reader.h"
#include "host/voka-host/history/history_error.h"
#include "host/voka-host/history/sqlite_statement.h"

namespace {

// The first 100 bytes of an SQLite file:
//   0  16  "SQLite format 3\0"
//   60  4  user version, big-endian
//   68  4  application id, big-endian
constexpr size_t kHeaderSize = 100;
constexpr char kMagic[] = "SQLite format 3";

struct Header {
    uint32_t user_version = 0;
    uint32_t application_id = 0;
};

uint32_t u32_be(const std::array<uint8_t, 4>& b) {
    return static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 | static_cast<uint32_t>(b[2]) << 8 |
           b[3];
}

std::optional<Header> read_header(std::span<const uint8_t> bytes) {
    ByteReader r(bytes);
    const auto magic = r.take<sizeof kMagic>();
    if (!magic || std::memcmp(magic->data(), kMagic, sizeof kMagic) != 0) return std::nullopt;
    Header h;
    if (!r.skip(60 - sizeof kMagic)) return std::nullopt;
    const auto version = r.take<4>();
    if (!version || !r.skip(4)) return std::nullopt;
    const auto app = r.take<4>();
    if (!app) return std::nullopt;
    h.user_version = u32_be(*version);
    h.application_id = u32_be(*app);
    return h;
}

[[noreturn]] void refuse(const std::string& path, const std::string& what) {
    throw HistoryError(fmt::format("history database {}: {}; voka-host leaves it as it is (give another --db)", path,
                                   what));
}

std::string newer(const std::string& path, long long version, int newest) {
    return fmt::format("history database {} has schema version {}, newer than this voka-host knows ({}): "
                       "use a newer voka-host or another database file",
                       path, version, newest);
}

// An SQLite file without our application id: a file of ours from before the
// id was set (a "meta" table with schema version 1), or someone else's.
DatabaseFile look_inside(const std::string& path, int newest) {
    sqlite3* db = nullptr;
    if (open_database_file(path, SQLITE_OPEN_READONLY, &db) != SQLITE_OK) {
        const std::string why = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        refuse(path, "cannot be read as an SQLite database: " + why);
    }
    std::vector<std::string> tables;
    long long app = 0, user_version = 0, meta_version = -1;
    std::string failure;
    try {
        {
            Statement q(db, "PRAGMA application_id");
            if (q.step() == SQLITE_ROW) app = q.integer(0);
        }
        {
            Statement q(db, "PRAGMA user_version");
            if (q.step() == SQLITE_ROW) user_version = q.integer(0);
        }
        Statement q(db, "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name");
        while (q.step() == SQLITE_ROW) tables.push_back(q.text(0));
        if (std::find(tables.begin(), tables.end(), "meta") != tables.end()) {
            Statement v(db, "SELECT value FROM meta WHERE key = 'schema_version'");
            if (v.step() == SQLITE_ROW) meta_version = v.integer(0);
        }
    } catch (const HistoryError& e) {
        failure = e.what();
    }
    sqlite3_close(db);
    if (!failure.empty()) refuse(path, "cannot be read as an SQLite database: " + failure);
    if (app == kHistoryApplicationId) {  // ours; the header is still in the write-ahead log
        if (user_version > newest) throw HistoryError(newer(path, user_version, newest));
        return {true, static_cast<int>(user_version)};
    }
    const auto has = [&](const char* t) { return std::find(tables.begin(), tables.end(), t) != tables.end(); };
    if (meta_version > newest) throw HistoryError(newer(path, meta_version, newest));
    if (meta_version == 1 && has("history") && has("alarms")) return {true, 1};
    if (tables.empty()) refuse(path, "is an SQLite database with no tables, not a voka-host history database");
    std::string names;
    for (const auto& t : tables) names += (names.empty() ? "" : ", ") + t;
    refuse(path, fmt::format("is an SQLite database of another program (tables: {})", names));
}

}  // namespace

DatabaseFile inspect_database_file(const std::string& path, int newest) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const auto status = fs::status(path, ec);
    if (!fs::exists(status)) return {};
    if (!fs::is_regular_file(status)) refuse(path, "is not a regular file");
    std::ifstream in(path, std::ios::binary);
    if (!in) refuse(path, "cannot be read");
    std::array<uint8_t, kHeaderSize> bytes{};
    in.read(reinterpret_cast<char*>(bytes.data()), bytes.size());
    const auto got = static_cast<size_t>(in.gcount());
    if (got == 0) refuse(path, "is an empty file, not a voka-host history database");
    const auto header = read_header(std::span<const uint8_t>(bytes.data(), got));
    if (!header) refuse(path, "is not an SQLite database");
    if (header->application_id == kHistoryApplicationId) {
        if (header->user_version > static_cast<uint32_t>(newest))
            throw HistoryError(newer(path, header->user_version, newest));
        return {true, static_cast<int>(header->user_version)};
    }
    if (header->application_id != 0)
        refuse(path, fmt::format("is an SQLite database of another program (application id 0x{:08x})",
                                 header->application_id));
    return look_inside(path, newest);
}

int open_database_file(const std::string& path, int flags, sqlite3** db) {
    const std::filesystem::path p(path);
    const std::string name = p.is_relative() && !path.empty() ? "./" + path : path;
    return sqlite3_open_v2(name.c_str(), db, flags & ~SQLITE_OPEN_URI, nullptr);
}
