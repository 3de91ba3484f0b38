#include "host/voka-host/http/live_page.h"

#include <filesystem>

#include "host/voka-host/http/http_server.h"
#include "host/voka-host/base/program_files.h"

void add_live_page(HttpServer& server, const std::function<void(const std::string&)>& log) {
    const std::string index = bundled_file("www/index.html");
    if (index.empty() || !server.mount_static("/", std::filesystem::path(index).parent_path().string()))
        log("voka-host: the live page's files are not installed (www/index.html); \"/\" answers 404");
    if (!server.mount_static("/javascript/chart.js/", kChartLibraryFolder))
        log(std::string("voka-host: ") + kChartLibraryFolder + " is missing (package libjs-chart.js): the page shows no plot");
}
