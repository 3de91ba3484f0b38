#pragma once
// What changed between the site voka-host runs and the site file read again:
// the power systems to start, to stop and to restart, by name, and the
// settings that only a restart of voka-host applies, each as the key table
// (site_keys()) says a reload treats it. (The HTTP side applies its own:
// http/http_service.h.)
#include <string>
#include <vector>

#include "host/voka-host/site_config.h"

struct SiteChanges {
    std::vector<std::string> added;    // in the new site only
    std::vector<std::string> removed;  // in the running site only
    std::vector<std::string> changed;  // in both, with other settings: restarted
    std::vector<std::string> kept_until_restart;  // the paths of keys a reload does not apply

    bool none() const { return added.empty() && removed.empty() && changed.empty(); }
};

// A power system is known by its name; a difference in a key of its element
// that the key table marks "restarts that power system" restarts it. Names come in the order
// of the site they are taken from.
SiteChanges compare_sites(const SiteConfig& running, const SiteConfig& next);
