// Precompiled for voka_tests: GoogleTest and the library headers most test
// files reach, directly or through the headers they test. Parsed once per
// build instead of once per test file; each file still names what it uses.
// Only headers from outside the project: an edit of our own headers then
// rebuilds only the files that include them.
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/lexical_cast.hpp>
#include <json/value.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>
