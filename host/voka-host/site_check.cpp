#include "host/voka-host/site_check.h"

#include "host/voka-host/http/http_config.h"
#include "host/voka-host/lines.h"
#include "host/voka-host/power_system.h"
#include "host/voka-host/start_warnings.h"

std::vector<std::string> check_site(const SiteConfig& site, const PluginLibrary& plugin) {
    schema::Problems problems(site.path);
    problems.collect([&] { (void)with_listen_option(site.http, std::nullopt, site.path); });
    for (const PowerSystemConfig& ps : site.power_systems) {
        problems.collect([&] { check_line(ps, site.path); });
        problems.collect([&] { (void)make_master(ps, plugin, nullptr); });  // made and dropped: nothing of it runs
    }
    problems.throw_if_any();
    return start_warnings(site);
}
