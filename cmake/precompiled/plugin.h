// Precompiled for the plug-in's objects: the library headers its device
// files reach. Only what the plug-in already uses: nothing here may lend it a
// thread, a lock or an atomic of its own (voka.so's contract).
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/lexical_cast.hpp>
#include <json/value.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>
