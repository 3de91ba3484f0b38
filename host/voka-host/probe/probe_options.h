#pragma once
// What `voka-host probe` is asked to try (its command line: host_options.h).
#include <string>
#include <vector>

struct ProbeOptions {
    std::string port;
    std::vector<int> baud_rates;        // in the order tried
    std::vector<unsigned> addresses;    // in the order tried
    int answer_start_ms = 200;          // how long the equipment may take to start an answer
};
