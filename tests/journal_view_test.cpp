// The journal's lines: one event a line, never a control character, each
// with the priority a reader of the journal filters by; and the journal's
// stream recognised only from what the service manager announced.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/voka-host/events/journal_view.h"

namespace {

RoundReport dc_round(bool complete, const std::string& outcome = "answered") {
    RoundReport r;
    r.system = "hall";
    r.round = 4;
    r.complete = complete;
    r.outcome = outcome;
    r.duration_ms = 41;
    DecodedRecord dc;
    dc.type = &kDcRecord;
    dc.fields["v"] = 53.6;
    dc.fields["i"] = 41.2;
    r.records.push_back({21, "voka-dc", kDcRecord.number, dc});
    return r;
}

Alarm module_alarm() {
    Alarm a;
    a.data_id = 1;
    a.rule_id = "RC_0";
    a.text = "module 2 fault";
    a.grade = 2;
    a.alarm_code = "123";
    return a;
}

}  // namespace

TEST(JournalView, EachEventIsOneLineWithItsPriority) {
    struct Case {
        const char* name;
        Event event;
        int priority;
        std::string text;
    };
    Alarm unreported = module_alarm();
    unreported.end_reason = kEndNoLongerReported;
    const std::vector<Case> cases = {
        {"complete round: debug, records after '; '", event::RoundEnded{dc_round(true)}, journal::kDebug,
         "[hall] round 4 (41 ms); DC 21    53.6 V  41.2 A; conditions: none hold"},
        {"failed round: warning", event::RoundEnded{dc_round(false, "timed out")}, journal::kWarning,
         "[hall] round not completed: timed out (41 ms); DC 21    53.6 V  41.2 A"},
        {"round stopped at shut-down: info", event::RoundEnded{dc_round(false, "stopped")}, journal::kInfo,
         "[hall] round not completed: stopped (41 ms); DC 21    53.6 V  41.2 A"},
        {"alarm start: warning", event::AlarmChanged{module_alarm(), true}, journal::kWarning,
         "alarm starts: module 2 fault (RC_0 1, grade 2, code 123)"},
        {"alarm end: notice", event::AlarmChanged{module_alarm(), false}, journal::kNotice,
         "alarm ends: module 2 fault (RC_0 1, grade 2, code 123)"},
        {"alarm end with a reason of its own: the reason after", event::AlarmChanged{unreported, false},
         journal::kNotice, "alarm ends: module 2 fault (RC_0 1, grade 2, code 123): no longer reported"},
        {"stale: error", event::StateChanged{"hall", "stale", "3 rounds failed in a row"}, journal::kError,
         "[hall] state stale: 3 rounds failed in a row"},
        {"reconnecting: warning", event::StateChanged{"hall", "reconnecting", "the line failed"}, journal::kWarning,
         "[hall] state reconnecting: the line failed"},
        {"ok again: notice", event::StateChanged{"hall", "ok", "a round completed"}, journal::kNotice,
         "[hall] state ok: a round completed"},
        {"reload refused: error", event::ReloadRefused{"site.json: (JSON): is not valid JSON"}, journal::kError,
         "voka-host: site file not reloaded, the running site stays: site.json: (JSON): is not valid JSON"},
        {"reload: notice", event::SiteReloaded{{"d"}, {"c"}, {"a", "b"}, {}}, journal::kNotice,
         "voka-host: site file reloaded: power systems added: d; removed: c; restarted: a, b"},
        {"record: shown with its round", event::RecordPublished{"hall", dc_round(true).records[0]}, journal::kInfo, ""},
    };
    for (const auto& c : cases) {
        const journal::Line line = journal::line_for(c.event);
        EXPECT_EQ(line.text, c.text) << c.name;
        EXPECT_EQ(line.priority, c.priority) << c.name;
    }
}

TEST(JournalView, WritesPlainLinesWithPrioritiesOnlyForTheJournal) {
    for (const bool priorities : {false, true}) {
        std::FILE* out = std::tmpfile();
        ASSERT_NE(out, nullptr);
        JournalView view(out, priorities);
        view.handle(event::Notice{"voka-host: line one\nline two \x1b[31mred\x1b[0m\ttab\r"});
        view.handle(event::Condition{"hall", {}});  // shown with its round: no line
        view.handle(event::StateChanged{"hall", "stale", "no answer"});
        std::rewind(out);
        std::string text(4096, '\0');
        text.resize(std::fread(text.data(), 1, text.size(), out));
        std::fclose(out);
        const std::string prefix_notice = priorities ? "<5>" : "", prefix_error = priorities ? "<3>" : "";
        EXPECT_EQ(text, prefix_notice + "voka-host: line one line two  [31mred [0m tab \n" + prefix_error +
                            "[hall] state stale: no answer\n");
    }
}

TEST(JournalView, RecognisesTheJournalStreamOnlyByItsDeviceAndInode) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    struct stat st {};
    ASSERT_EQ(fstat(fds[1], &st), 0);
    const std::string dev = std::to_string(st.st_dev), ino = std::to_string(st.st_ino);
    const struct {
        const char* name;
        std::string env;
        bool null_env;
        bool expected;
    } cases[] = {
        {"this stream", dev + ":" + ino, false, true},
        {"unset", "", true, false},
        {"another inode", dev + ":" + std::to_string(st.st_ino + 1), false, false},
        {"another device", std::to_string(st.st_dev + 1) + ":" + ino, false, false},
        {"empty", "", false, false},
        {"no inode", dev + ":", false, false},
        {"trailing text", dev + ":" + ino + "x", false, false},
        {"not numbers", "a:b", false, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(journal::is_journal_stream(fds[1], c.null_env ? nullptr : c.env.c_str()), c.expected) << c.name;
    close(fds[0]);
    close(fds[1]);
}
