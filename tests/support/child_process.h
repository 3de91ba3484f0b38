#pragma once
// A program under test started with its standard output and error on pipes:
// read its lines as they come, signal it, and collect its exit status.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

class ChildProcess {
public:
    // `native`: a program of the machine itself (a broker), run without the
    // emulator even when the tests are cross-built.
    ChildProcess(const std::string& program, const std::vector<std::string>& args, bool native = false) {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        // A cross-built test runs under an emulator, which must run the program too.
        std::vector<std::string> all;
        if (!native && std::string(VOKA_TEST_EMULATOR).size()) all.push_back(VOKA_TEST_EMULATOR);
        all.push_back(program);
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid_, all[0].c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
        if (rc != 0) throw std::runtime_error("posix_spawn " + program);
    }
    ~ChildProcess() {
        if (pid_ > 0 && !exit_status_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
        close(err_);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next line of standard output without its newline; nothing once the
    // output has ended or no line came within `timeout_ms`.
    std::optional<std::string> next_line(int timeout_ms = 10'000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            if (const size_t nl = pending_.find('\n'); nl != std::string::npos) {
                std::string line = pending_.substr(0, nl);
                pending_.erase(0, nl + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !readable(out_, static_cast<int>(left.count()))) return std::nullopt;
            char buf[4096];
            const ssize_t n = read(out_, buf, sizeof buf);
            if (n <= 0) return std::nullopt;
            pending_.append(buf, static_cast<size_t>(n));
        }
    }
    // Every remaining line of standard output, until it ends.
    std::vector<std::string> remaining_lines(int timeout_ms = 60'000) {
        std::vector<std::string> lines;
        while (auto line = next_line(timeout_ms)) lines.push_back(*line);
        return lines;
    }
    void signal(int sig) const { kill(pid_, sig); }
    // The exit status once it has ended (128 + signal when killed), or nothing after `timeout_ms`.
    std::optional<int> exit_status(int timeout_ms = 30'000) {
        for (int waited = 0; !exit_status_ && waited < timeout_ms; waited += 10) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return exit_status_;
    }
    // What it wrote to standard error so far (all of it, once it has ended).
    std::string errors() const {
        std::string text;
        char buf[4096];
        for (ssize_t n; readable(err_, 200) && (n = read(err_, buf, sizeof buf)) > 0;) text.append(buf, n);
        return text;
    }

private:
    static bool readable(int fd, int timeout_ms) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, timeout_ms) == 1;
    }
    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    std::string pending_;
    std::optional<int> exit_status_;
};
