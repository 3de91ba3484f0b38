#pragma once
// Fills a device log message: the "{}" placeholders of `format`, in order,
// with the argument texts the device made. A format that does not fit its
// arguments is never lost: the text comes back with the arguments appended.
#include <string>
#include <string_view>
#include <vector>

std::string format_log_message(std::string_view format, const std::vector<std::string>& args);
