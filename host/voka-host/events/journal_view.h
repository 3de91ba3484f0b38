#pragma once
// voka-host's output when standard output is not a terminal (a service's
// journal, a pipe, a file): one plain line per event, never a control
// character, so that each line is one journal entry. Under the journal each
// line starts with its syslog priority, "<4>" for a warning, which the
// journal takes as the entry's priority and strips. Complete rounds are
// debug entries: the service's unit keeps them out of the journal unless
// asked for; trouble is a warning or an error.
#include <cstdio>
#include <string>
#include <string_view>

#include "host/voka-host/events/event.h"
#include "host/voka-host/events/line_writer.h"

namespace journal {
inline constexpr int kError = 3, kWarning = 4, kNotice = 5, kInfo = 6, kDebug = 7;

// The event as a line and its priority; an empty line for events shown with
// their round.
struct Line {
    int priority = kInfo;
    std::string text;
};
Line line_for(const Event& e);

// Whether `fd` is the stream the journal reads, as the service manager
// announces it in $JOURNAL_STREAM ("DEVICE:INODE" of that stream).
bool is_journal_stream(int fd, const char* journal_stream_env);
}  // namespace journal

class JournalView final : public EventSink {
public:
    // `priorities`: start each line with "<N>".
    JournalView(std::FILE* out, bool priorities) : out_(out), priorities_(priorities) {}
    void handle(const Event& e) override;

private:
    LineWriter out_;
    const bool priorities_;
};

// The text with every control character (line breaks, escapes) made a space.
std::string plain_line(std::string_view text);
