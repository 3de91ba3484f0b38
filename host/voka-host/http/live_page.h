#pragma once
// The live page at "/": its own files (www/: HTML, CSS, JavaScript), from the
// source tree of a build or the installed /usr/share/voka/www, and the chart
// library it draws with, from where Debian's libjs-chart.js puts it, under
// the URL Debian's web servers give /usr/share/javascript ("/javascript/").
#include <functional>
#include <string>

class HttpServer;

inline constexpr const char* kChartLibraryFolder = "/usr/share/javascript/chart.js";

// Mounts the page and the chart library on `server` (before it starts). A
// part that is missing is told to `log`; the API still serves.
void add_live_page(HttpServer& server, const std::function<void(const std::string&)>& log);
