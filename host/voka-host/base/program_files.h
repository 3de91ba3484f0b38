#pragma once
// Where voka-host finds the files it ships with (its plug-in, the bundled
// scenarios, the live page) when nobody names them: relative to the folder
// the program itself lies in, never at a path fixed when it was built.
//
// The installed tree is a prefix (/usr): the program in <prefix>/bin, the
// plug-in in <prefix>/<plug-in folder>, the bundled files in
// <prefix>/share/voka. A build tree mirrors that tree inside the program's
// own folder (links made by the build), so the two places looked in are:
//   1. the program's folder itself  (a build tree),
//   2. the folder above it          (an installed program).
// Both are as trustworthy as the program: whoever can write there can
// replace the program too. An installed program thus never reaches into a
// build or source tree, wherever those lie.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// The installed layout below a prefix, as the build installs it.
inline constexpr const char* kDataFolder = VOKA_DATA_INSTALL_DIR;      // e.g. "share/voka"
inline constexpr const char* kPluginFolder = VOKA_PLUGIN_INSTALL_DIR;  // e.g. "lib/x86_64-linux-gnu/voka/plugins"
inline constexpr const char* kPluginFile = "voka.so";

// The folder of the running program (/proc/self/exe, links resolved); empty
// when the system cannot tell.
std::filesystem::path running_program_folder();

// The prefixes looked in, in order, for a program in `program_folder`.
std::vector<std::filesystem::path> program_prefixes(const std::filesystem::path& program_folder);

// The plug-in to load: `option` (--plugin), else `configured` (the site
// file's "plugin"), else `environment` ($VOKA_PLUGIN, when not empty), else
// the first prefix's plug-in that exists; else the installed place (the last
// prefix's), so that the failure to load it names where it should be.
std::string choose_plugin(const std::optional<std::string>& option, const std::optional<std::string>& configured,
                          const char* environment, const std::filesystem::path& program_folder);

// A bundled file (`relative` below the data folder) from the first prefix
// that holds it, links resolved; "" when none does.
std::string find_bundled_file(const std::string& relative, const std::filesystem::path& program_folder);

// A file shipped with voka-host (scenarios, the page), from the data folder
// that goes with the running program (see running_program_folder() above); "" when absent.
std::string bundled_file(const std::string& relative);
