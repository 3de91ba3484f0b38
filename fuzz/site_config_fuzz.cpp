// The site file as a reload reads it: whatever the file holds, the reader
// gives a site or a ConfigError, nothing else; a site it gives is read the
// same again from its own JSON, and a reload of the same file changes nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "host/voka-host/site_changes.h"
#include "host/voka-host/site_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A folder that does not exist: relative file names the input gives read nothing.
    const std::string source = "/nonexistent-voka-fuzz/site.json";
    SiteConfig site;
    try {
        site = site_config_from_text(std::string(reinterpret_cast<const char*>(data), size), source);
    } catch (const ConfigError&) {
        return 0;
    }
    const SiteConfig again = site_config_from_json(site.json, source);  // a ConfigError here is a finding
    const SiteChanges changes = compare_sites(site, again);
    if (!changes.none() || !changes.kept_until_restart.empty()) std::abort();
    return 0;
}
