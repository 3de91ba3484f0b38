#include "host_program/site_check.h"

#include "host_program/http/http_config.h"
#include "host_program/lines.h"
#include "host_program/power_system.h"
#include "host_program/start_warnings.h"

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
