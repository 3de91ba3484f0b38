#pragma once
// `voka-host config check SITE.json`: what a start with that site file would refuse
// before opening anything, found without opening any port, database or
// socket: the file and its keys (with the files they name: secrets, TLS
// certificates and keys), the embedded simulator's scenarios, and each power
// system's master taking its element from the plug-in.
#include <string>
#include <vector>

#include "host/voka-host/site_config.h"

class PluginLibrary;

// Throws ConfigError naming everything that cannot be used, a line each.
// Returns the warnings a start would give (one line each), empty when there are none.
std::vector<std::string> check_site(const SiteConfig& site, const PluginLibrary& plugin);
