#pragma once
// Finds a channel value key inside a lookup key. This is exactly a search for
// the ECMAScript expression "channel_(\d+)_(.+?)": the leftmost "channel_"
// followed by decimal digits, an underscore and one more character that is
// not a line terminator ('\n' or '\r'). The lazy last group always takes just
// that one character.
//
// Matched by hand: a regex engine that recurses per character can overflow
// the stack on a long key, and the lookup must stay cheap. Runs in time
// linear in the key, allocates nothing.
#include <cstddef>
#include <optional>
#include <string_view>

struct ChannelKey {
    // The digits read as a channel index; saturates at index_limit, so an
    // index too large to represent compares as out of range.
    size_t index;
    char field;  // the one character after the index's underscore
};

inline constexpr size_t kChannelIndexLimit = static_cast<size_t>(-1);

std::optional<ChannelKey> find_channel_key(std::string_view key);
