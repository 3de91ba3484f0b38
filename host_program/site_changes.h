#pragma once
// What changed between the site voka-host runs and the site file read again:
// the power systems to start, to stop and to restart, by name, and the
// settings that only a restart of voka-host applies. (The HTTP side applies
// its own: http/http_service.h.)
#include <string>
#include <vector>

#include "host_program/site_config.h"

struct SiteChanges {
    std::vector<std::string> added;    // in the new site only
    std::vector<std::string> removed;  // in the running site only
    std::vector<std::string> changed;  // in both, with other settings: restarted
    std::vector<std::string> kept_until_restart;  // settings a reload does not apply, in words

    bool none() const { return added.empty() && removed.empty() && changed.empty(); }
};

// A power system is known by its name; any difference in its element (the
// whole object the site file gives it) restarts it. Names come in the order
// of the site they are taken from.
SiteChanges compare_sites(const SiteConfig& running, const SiteConfig& next);
