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
