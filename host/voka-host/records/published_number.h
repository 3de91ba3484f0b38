#pragma once
// How voka-host rounds a reading wherever it shows one: the record's JSON
// form, text columns, CSV, the state API and reductions of the history.
#include <cmath>

// To thousandths. A float carries about seven digits; more would show its
// binary noise (53.599998 for 53.6).
inline double published_number(double v) { return std::round(v * 1000.0) / 1000.0; }
