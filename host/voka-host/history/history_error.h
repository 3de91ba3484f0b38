#pragma once
#include <stdexcept>

// The history database cannot be opened or used; the message names the file.
class HistoryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
