// Where voka-host finds its plug-in and bundled files once it lies outside
// the build tree: in its own installed tree, never in the tree it was built
// in (every other test runs it from the build tree, beside its links).
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/voka-host/base/program_files.h"
#include "tests/support/end_to_end.h"

namespace {

using namespace e2e;

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
