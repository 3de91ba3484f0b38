// Precompiled for the host side's libraries and programs (host core, line,
// simulator, voka-host's parts): the library headers most of their files
// reach. Parsed once per build instead of once per file; each file still
// names what it uses. Only headers from outside the project: an edit of our
// own headers then rebuilds only the files that include them.
#include <fmt/format.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <json/value.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>
