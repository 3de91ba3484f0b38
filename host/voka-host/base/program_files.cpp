#include "host/voka-host/base/program_files.h"

#include <system_error>

namespace fs = std::filesystem;

fs::path running_program_folder() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : self.parent_path();
}

std::vector<fs::path> program_prefixes(const fs::path& program_folder) {
    if (program_folder.empty()) return {};
    return {program_folder, program_folder.parent_path()};
}

std::string choose_plugin(const std::optional<std::string>& option, const std::optional<std::string>& configured,
                          const char* environment, const fs::path& program_folder) {
    if (option) return *option;
    if (configured) return *configured;
    if (environment && *environment) return environment;
    const auto prefixes = program_prefixes(program_folder);
    if (prefixes.empty()) return kPluginFile;  // loading it fails, naming it
    for (const fs::path& prefix : prefixes) {
        const fs::path candidate = prefix / kPluginFolder / kPluginFile;
        std::error_code ec;
        if (fs::exists(candidate, ec)) return candidate.string();
    }
    return (prefixes.back() / kPluginFolder / kPluginFile).lexically_normal().string();
}

std::string find_bundled_file(const std::string& relative, const fs::path& program_folder) {
    for (const fs::path& prefix : program_prefixes(program_folder)) {
        std::error_code ec;
        // Resolved, so that a server confining requests to the file's folder
        // compares real paths with real paths.
        const fs::path found = fs::canonical(prefix / kDataFolder / relative, ec);
        if (!ec) return found.string();
    }
    return {};
}

std::string bundled_file(const std::string& relative) {
    return find_bundled_file(relative, running_program_folder());
}
