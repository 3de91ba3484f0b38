#pragma once
// Where voka-host finds what it runs with: each power system's line (its
// serial port, or the embedded simulator), the plug-in, and the bundled
// example site.
#include <memory>
#include <optional>
#include <string>

#include "host/interface/pmbus_protocol.h"
#include "host/line/serial_line.h"
#include "host/voka-host/base/program_files.h"
#include "host/voka-host/site_config.h"

// Opens the power system's line for its configured master: the serial port
// at the master's baud rate, or, without a port, the embedded simulator with
// the system's scenario (relative to the site file) or the bundled example.
// Throws std::system_error naming a port that cannot be opened, ConfigError
// for a scenario that cannot be used.
std::unique_ptr<ByteLine> open_line(const PowerSystemConfig& ps, const PMBusProtocol& master,
                                    const std::string& site_path);
std::string describe_line(const PowerSystemConfig& ps);
// What open_line can tell before opening anything: for the embedded
// simulator, that its scenario can be read. Throws ConfigError.
void check_line(const PowerSystemConfig& ps, const std::string& site_path);

// The plug-in to load: --plugin, else the site file's "plugin", else
// $VOKA_PLUGIN, else the one shipped with voka-host (see program_files.h).
std::string find_plugin(const std::optional<std::string>& option, const std::optional<std::string>& configured);

// The site voka-host runs without a configuration file: one power system on
// the embedded simulator with the bundled example scenario.
SiteConfig bundled_example_site();

