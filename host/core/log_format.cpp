#include "host/core/log_format.h"

#include <fmt/args.h>
#include <fmt/format.h>

std::string format_log_message(std::string_view format, const std::vector<std::string>& args) {
    fmt::dynamic_format_arg_store<fmt::format_context> store;
    for (const auto& a : args) store.push_back(a);
    try {
        return fmt::vformat(format, store);
    } catch (const fmt::format_error&) {
        std::string text(format);
        text += " [";
        for (size_t i = 0; i < args.size(); ++i) text += (i ? ", " : "") + args[i];
        return text + "]";
    }
}
