#pragma once
// How voka-host rounds the durations it shows (readings: published_number,
// records/published_number.h).
#include <cmath>

// A duration in milliseconds as shown: to tenths.
inline double shown_ms(double ms) { return std::round(ms * 10) / 10; }
