#pragma once
// What the file at a history database's path is, found without changing it:
// absent, or a database of ours (and of which schema). Anything else is
// refused with a message that says what the file is.
#include <cstdint>
#include <string>

inline constexpr uint32_t kHistoryApplicationId = 0x564F4B41;  // "VOKA" in the file header

struct DatabaseFile {
    bool exists = false;
    int version = 0;  // the schema of an existing file of ours
};

// Throws HistoryError (naming the path) when the file is not a database of
// ours, or one of a schema newer than `newest`.
DatabaseFile inspect_database_file(const std::string& path, int newest);

struct sqlite3;

// sqlite3_open_v2 of the file at `path` as a plain file name, whatever it
// holds ('%', '?', '#', a leading "file:" or ":memory:"), so that every
// reader and writer opens the same file: SQLITE_OPEN_URI is taken out of
// `flags`, and since Debian's SQLite takes a name that starts with "file:"
// as a URI even then, a relative name is given as "./name". Returns SQLite's result code;
// `*db` as sqlite3_open_v2 leaves it (to be closed even on failure).
int open_database_file(const std::string& path, int flags, sqlite3** db);
