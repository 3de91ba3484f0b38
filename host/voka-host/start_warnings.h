#pragma once
// What voka-host says once at start about a site file it accepts but that
// leaves something open: a secret file its group or others may read, an MQTT
// password sent where anyone who sees the traffic reads it.
#include <string>
#include <vector>

#include "host/voka-host/site_config.h"

// One line each, in the order of the site file; empty when nothing is open.
std::vector<std::string> start_warnings(const SiteConfig& site);
