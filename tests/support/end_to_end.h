#pragma once
// Helpers for tests that run voka-host and voka-sim as programs: a folder of
// the test's own, the simulator on a new pseudo-terminal, and the --json
// event stream by kind.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/child_process.h"
#include "tests/support/json.h"

namespace e2e {

namespace fs = std::filesystem;

// A folder of its own for one test's files.
struct Workdir {
    fs::path dir = fs::path(testing::TempDir()) /
                   (std::string("voka-e2e-") + testing::UnitTest::GetInstance()->current_test_info()->name());
    Workdir() {
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    ~Workdir() { fs::remove_all(dir); }
    std::string write(const std::string& name, const std::string& text) const {
        std::ofstream(dir / name) << text;
        return (dir / name).string();
    }
    std::string path(const std::string& name) const { return (dir / name).string(); }
};

inline std::vector<Json::Value> events(const std::vector<std::string>& lines) {
    std::vector<Json::Value> out;
    for (const auto& l : lines) out.push_back(parse_json(l));
    return out;
}

inline std::vector<Json::Value> of_kind(const std::vector<Json::Value>& all, const std::string& kind) {
    std::vector<Json::Value> out;
    for (const auto& e : all)
        if (e["event"].asString() == kind) out.push_back(e);
    return out;
}

inline const std::string kListening = "voka-sim: listening on ";

// voka-sim on a new pseudo-terminal, answering at once (or at its line rate).
struct Sim : ChildProcess {
    std::string port;
    explicit Sim(const std::string& scenario_file, bool paced = false)
        : ChildProcess(VOKA_SIM_PATH, paced ? std::vector<std::string>{scenario_file}
                                            : std::vector<std::string>{scenario_file, "--no-pace"}) {
        const std::string first = next_line().value_or("");
        EXPECT_EQ(first.rfind(kListening, 0), 0u) << first;
        port = first.substr(std::min(first.size(), kListening.size()));
    }
};

}  // namespace e2e
