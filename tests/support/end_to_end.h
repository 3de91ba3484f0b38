#pragma once
// Helpers for tests that run voka-host and voka-sim as programs: a folder of
// the test's own, the simulator on a new pseudo-terminal, and the --json
// event stream by kind.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
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

// Runs a shell command; its exit status and what it wrote (both streams).
inline std::pair<int, std::string> run(const std::string& command) {
    std::FILE* p = popen((command + " 2>&1").c_str(), "r");
    if (!p) return {-1, "popen failed"};
    std::string out;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    const int status = pclose(p);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

// A TCP port on 127.0.0.1 that was free a moment ago.
inline uint16_t free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

// A self-signed certificate for 127.0.0.1 made by openssl in `dir`:
// cert.pem and key.pem; openssl's own words when it could not.
inline std::string make_certificate(const Workdir& dir, const std::string& name = "") {
    const auto [status, out] = run("cd " + dir.dir.string() + " && openssl req -x509 -newkey ec -pkeyopt "
                                   "ec_paramgen_curve:prime256v1 -nodes -keyout " + name + "key.pem -out " + name +
                                   "cert.pem -days 2 -subj /CN=voka-test -addext subjectAltName=IP:127.0.0.1");
    return status == 0 ? "" : "openssl req: " + out;
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
