#include "plugin/ac/channel_key.h"

namespace {

constexpr std::string_view kPrefix = "channel_";

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_line_terminator(char c) { return c == '\n' || c == '\r'; }

}  // namespace

std::optional<ChannelKey> find_channel_key(std::string_view key) {
    for (size_t start = key.find(kPrefix); start != std::string_view::npos; start = key.find(kPrefix, start + 1)) {
        size_t pos = start + kPrefix.size();
        size_t index = 0;
        const size_t first_digit = pos;
        for (; pos < key.size() && is_digit(key[pos]); ++pos) {
            const size_t d = static_cast<size_t>(key[pos] - '0');
            index = index > (kChannelIndexLimit - d) / 10 ? kChannelIndexLimit : index * 10 + d;
        }
        // Backtracking into the digits cannot help: the character after a
        // shorter run would be a digit, never the underscore.
        if (pos == first_digit || pos + 1 >= key.size() || key[pos] != '_' || is_line_terminator(key[pos + 1]))
            continue;
        return ChannelKey{index, key[pos + 1]};
    }
    return std::nullopt;
}
