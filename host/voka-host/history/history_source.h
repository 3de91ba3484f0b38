#pragma once
// Where a reader in voka-host (an HTTP database answer) reads the history:
// the database file, through a read-only connection of its own, and what it
// calls first so that its read sees every row stored so far (the writing
// HistoryDb's commit_held(): rows wait uncommitted between commits).
#include <functional>
#include <string>
#include <utility>

struct HistorySource {
    HistorySource(std::string file, std::function<void()> commit = {})
        : path(std::move(file)), commit_held(std::move(commit)) {}

    std::string path;
    // Empty when nothing in this process writes the file. Called on the
    // reader's thread, never a polling one: it may wait for a round being
    // written to end.
    std::function<void()> commit_held;
};
