#pragma once
// The one error a site file's reader gives: the file, the place of each
// problem (a key's path) and what was wrong, one problem a line.
#include <stdexcept>

class ConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
