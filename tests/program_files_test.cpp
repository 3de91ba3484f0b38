// Where voka-host finds its plug-in and bundled files: beside itself in a
// build tree, in its own installed tree otherwise, and never in the tree it
// was built in once it lies elsewhere.
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host_program/program_files.h"
#include "tests/support/end_to_end.h"

namespace {

using namespace e2e;

void touch(const fs::path& file) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "x";
}

// voka-host as a package would lay it out below `prefix`: the program only;
// the plug-in and the data come with each case.
fs::path install_program(const fs::path& prefix) {
    const fs::path program = prefix / "bin" / "voka-host";
    fs::create_directories(program.parent_path());
    std::error_code ec;
    fs::create_hard_link(VOKA_HOST_PATH, program, ec);  // a copy where a link cannot be made
    if (ec) fs::copy_file(VOKA_HOST_PATH, program);
    return program;
}

}  // namespace

// The order of the places looked in, with the build tree's layout (links
// beside the program) and the installed one (the folder above it).
TEST(ProgramFiles, ChoosesThePluginByOrderAndNeverOutsideItsTrees) {
    Workdir w;
    const fs::path build = w.dir / "build";           // a build tree: the plug-in beside the program
    const fs::path installed = w.dir / "usr" / "bin";  // an installed program: the plug-in in ../lib
    const fs::path bare = w.dir / "elsewhere" / "bin"; // a program with nothing installed around it
    touch(build / kPluginFolder / kPluginFile);
    touch(installed.parent_path() / kPluginFolder / kPluginFile);
    fs::create_directories(bare);
    const std::string in_build = (build / kPluginFolder / kPluginFile).string();
    const std::string in_usr = (w.dir / "usr" / kPluginFolder / kPluginFile).string();
    const std::string in_elsewhere = (w.dir / "elsewhere" / kPluginFolder / kPluginFile).string();

    struct Case {
        const char* name;
        std::optional<std::string> option, configured;
        const char* environment;
        fs::path folder;
        std::string chosen;
    };
    const std::vector<Case> cases = {
        {"--plugin first", "/a.so", "/b.so", "/c.so", build, "/a.so"},
        {"then the site file", std::nullopt, "/b.so", "/c.so", build, "/b.so"},
        {"then $VOKA_PLUGIN", std::nullopt, std::nullopt, "/c.so", build, "/c.so"},
        {"an empty $VOKA_PLUGIN is unset", std::nullopt, std::nullopt, "", build, in_build},
        {"a build tree's own", std::nullopt, std::nullopt, nullptr, build, in_build},
        {"an installed program's tree", std::nullopt, std::nullopt, nullptr, installed, in_usr},
        {"nothing installed: where it belongs", std::nullopt, std::nullopt, nullptr, bare, in_elsewhere},
    };
    for (const Case& c : cases)
        EXPECT_EQ(choose_plugin(c.option, c.configured, c.environment, c.folder), c.chosen) << c.name;

    touch(installed.parent_path() / kDataFolder / "www" / "index.html");
    EXPECT_EQ(find_bundled_file("www/index.html", installed),
              fs::canonical(w.dir / "usr" / kDataFolder / "www" / "index.html").string());
    EXPECT_EQ(find_bundled_file("www/index.html", bare), "");
}

// The built voka-host placed in a tree of its own runs with what is installed
// there and nothing else: without a plug-in there it fails naming the place,
// though the build tree it came from holds one; without the bundled scenario
// it says so; with both it runs.
TEST(ProgramFiles, AnInstalledProgramRunsOnlyWithItsInstalledFiles) {
    Workdir w;
    const fs::path prefix = w.dir / "usr";
    const std::string program = install_program(prefix).string();
    const fs::path plugin = prefix / kPluginFolder / kPluginFile;
    const fs::path scenarios = prefix / kDataFolder / "simulator" / "scenarios";
    const auto run = [&](int expected_status, const std::string& expected_error) {
        ChildProcess host(program, {"--rounds", "1", "--json", "--db", w.path("h.db")});
        host.remaining_lines();
        EXPECT_EQ(host.exit_status(), expected_status) << host.errors();
        if (!expected_error.empty()) {
            EXPECT_NE(host.errors().find(expected_error), std::string::npos) << host.errors();
        }
    };

    run(1, plugin.lexically_normal().string());
    fs::create_directories(plugin.parent_path());
    fs::create_symlink(VOKA_SO_PATH, plugin);
    run(2, "the bundled example scenario is not installed");
    fs::create_directories(scenarios.parent_path());
    fs::create_directory_symlink(VOKA_SCENARIO_DIR, scenarios);
    run(0, "");
}
