#pragma once
// A history database of one test's own in the tests' temporary folder, named
// after the test, its companions (-wal, -shm, -journal) gone before and after:
// ctest runs a file's tests at the same time.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

struct TempDatabase {
    explicit TempDatabase(const std::string& prefix)
        : path(testing::TempDir() + prefix + testing::UnitTest::GetInstance()->current_test_info()->name() + ".db") {
        remove();
    }
    ~TempDatabase() { remove(); }
    TempDatabase(const TempDatabase&) = delete;
    TempDatabase& operator=(const TempDatabase&) = delete;
    void remove() const {
        for (const char* suffix : {"", "-wal", "-shm", "-journal"}) std::filesystem::remove(path + suffix);
    }
    const std::string path;
};
