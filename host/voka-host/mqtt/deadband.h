#pragma once
// Decides whether a device's new record is worth a state message: with a
// dead band of 0 every record is; otherwise only one in which a value moved
// by more than the dead band from what was last sent, became missing or came
// back, or whose set of values changed (a module added). What was sent is
// remembered per device; one that was not sent leaves it as it was, so slow
// drifts add up until they pass the band.
//
// Not thread-safe: its owner serialises the calls.
#include <cstdint>
#include <map>
#include <vector>

#include "host/voka-host/records/record_types.h"

class Deadband {
public:
    explicit Deadband(double band) : band_(band) {}

    // True when the record is to be sent; it is then remembered as sent.
    bool passes(uint32_t data_id, const std::vector<Reading>& readings);

private:
    struct Sent {
        float value;
        bool missing;
    };
    double band_;
    std::map<uint32_t, std::vector<Sent>> sent_;
};
