#include "host/voka-host/events/journal_view.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>

#include <fmt/format.h>

#include "host/voka-host/events/text_view.h"

namespace journal {

Line line_for(const Event& e) {
    return std::visit(
        Overloaded{
            [](const event::Log& x) { return Line{kWarning, fmt::format("[{}] log: {}", x.system, x.text)}; },
            [](const event::Dropped& x) { return Line{kWarning, fmt::format("[{}] dropped: {}", x.system, x.reason)}; },
            [](const event::RoundEnded& x) {
                const RoundReport& r = x.report;
                const int priority = r.complete ? kDebug : r.outcome == "stopped" ? kInfo : kWarning;
                return Line{priority, round_text(r, "; ")};
            },
            [](const event::Value& x) { return Line{kInfo, fmt::format("get {} = {}", x.query, x.value)}; },
            [](const event::Refusal& x) { return Line{kWarning, fmt::format("get {}: {}", x.query, x.why)}; },
            [](const event::AlarmChanged& x) {
                return Line{x.started ? kWarning : kNotice,
                            alarm_text(x, fmt::format(", code {}", x.alarm.alarm_code))};
            },
            [](const event::Notice& x) { return Line{kNotice, x.text}; },
            [](const event::Attempt& x) { return Line{kWarning, fmt::format("[{}] failed: {}", x.system, x.text)}; },
            [](const event::Stats& x) { return Line{kInfo, stats_text(x, "; ")}; },
            [](const event::StateChanged& x) {
                const int priority = x.state == "ok" ? kNotice : x.state == "stale" ? kError : kWarning;
                return Line{priority, fmt::format("[{}] state {}: {}", x.system, x.state, x.why)};
            },
            [](const event::SiteReloaded& x) { return Line{kNotice, reload_text(x)}; },
            [](const event::ReloadRefused& x) {
                return Line{kError, "voka-host: site file not reloaded, the running site stays: " + x.why};
            },
            // Records and conditions show with their round.
            [](const auto&) { return Line{}; },
        },
        e);
}

bool is_journal_stream(int fd, const char* journal_stream_env) {
    if (!journal_stream_env) return false;
    uintmax_t device = 0, inode = 0;
    char rest = 0;
    if (std::sscanf(journal_stream_env, "%" SCNuMAX ":%" SCNuMAX "%c", &device, &inode, &rest) != 2) return false;
    struct stat st {};
    return fstat(fd, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

}  // namespace journal

std::string plain_line(std::string_view text) {
    std::string line(text);
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    return line;
}

void JournalView::handle(const Event& e) {
    const journal::Line line = journal::line_for(e);
    if (line.text.empty()) return;
    out_.write(priorities_ ? fmt::format("<{}>{}", line.priority, plain_line(line.text)) : plain_line(line.text));
}
