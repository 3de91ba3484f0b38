#pragma once
// One master's conversation on its line: the host sends the command the
// master chose, waits for the answer, hands each valid answer to the master
// and sends whatever command the master chose next, until the exchange ends.
//
// How the host wires it: its controller's send_command(master, cid1, cid2,
// info) hook calls submit() on the master's exchange; when the master's
// RefreshStatus() returns true (it has submitted its first command), the host
// calls run(master). Between exchanges it may call drain().
//
// Each command gets up to 1 + retries attempts. An attempt fails when no
// whole answer came within answer_timeout_ms, or when a frame was rejected
// (damaged, refused by the equipment, from another ADR or CID1): a rejection
// ends the attempt's wait at once. The master sees only the one accepted
// answer of each command, never a retry.
//
// Single-threaded: the host calls one exchange from one thread at a time.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/interface/pmbus_protocol.h"
#include "host/line/frame_codec.h"
#include "host/line/serial_line.h"

// How an exchange ended.
enum class ExchangeEnd : uint8_t {
    answered,     // the master took the last answer and ended the exchange itself (process_payload 0)
    refused,      // the master handled an answer but sent no next command: it refused it
    timed_out,    // every attempt of a command ran out of time (the last one did)
    rejected,     // every attempt of a command ended in a rejected frame (the last one did)
    not_sent,     // no command to send, or one too long to frame
    line_failed,  // the line failed: a write or a read reported an error
    stopped,      // the host stopped it (shutting down, or the system's settings changed)
};
inline constexpr size_t kExchangeEnds = 7;
std::string_view to_string(ExchangeEnd e);

// Why one attempt of a command failed: the vocabulary the host counts and shows.
enum class AttemptFailure : uint8_t {
    no_answer,    // not one byte of an answer within the time-out
    cut_off,      // an answer had begun but was not whole when the time-out ran out
    rejected,     // a frame was rejected (see the rejection)
    line_failed,  // the line reported an error
};
std::string_view to_string(AttemptFailure f);

struct FailedAttempt {
    uint8_t cid1 = 0;
    uint8_t cid2 = 0;
    unsigned attempt = 1;  // 1 for the first sending of the command
    AttemptFailure why = AttemptFailure::no_answer;
    frame::Rejection rejection{frame::Error::noise};  // for `rejected`
    std::string detail;     // the line's error, for `line_failed`
    bool will_retry = false;
};
// "no answer within 200 ms", "checksum wrong", "write failed: Input/output error", ...
std::string describe(const FailedAttempt& f, int timeout_ms);

// What one command (CID1, CID2) met on the line.
struct CommandCounters {
    unsigned sent = 0;       // attempts, retries included
    unsigned answered = 0;   // valid answers handed to the master
    unsigned retried = 0;    // attempts after the first
    unsigned timed_out = 0;  // attempts without a whole answer in time
    std::array<unsigned, frame::kErrorKinds> rejected{};  // attempts ended by a rejected frame, by reason
};

// What happened on one line, counted since the exchange was made.
struct ExchangeCounters {
    unsigned commands_sent = 0;  // attempts, retries included
    unsigned answers = 0;        // valid answers handed to the master
    unsigned retries = 0;
    unsigned unsolicited = 0;    // valid answers with no command outstanding (late), dropped
    uint64_t noise_bytes = 0;    // bytes outside any frame (not counted as rejections)
    std::array<unsigned, frame::kErrorKinds> rejected{};  // frames, by reason, whenever seen
    std::array<unsigned, kExchangeEnds> ended{};          // exchanges, by ExchangeEnd
    std::map<uint16_t, CommandCounters> commands;         // by CID1 << 8 | CID2

    unsigned rejections(frame::Error e) const { return rejected[static_cast<size_t>(e)]; }
    unsigned exchanges(ExchangeEnd e) const { return ended[static_cast<size_t>(e)]; }
};

class LineExchange {
public:
    using LogSink = std::function<void(std::string_view)>;
    using AttemptSink = std::function<void(const FailedAttempt&)>;

    // `line` must outlive the exchange (or be replaced with set_line first).
    // `log` receives one line of text for each frame dropped outside an
    // attempt and each failed exchange; `attempts` each failed attempt.
    explicit LineExchange(ByteLine& line, LogSink log = {}, AttemptSink attempts = {});

    // Retries of a command after its first attempt fails.
    void set_retries(unsigned retries) { retries_ = retries; }
    // Another line (the port reopened); the decoder starts afresh.
    void set_line(ByteLine& line);
    // A flag another thread may set to end the exchange in progress: run()
    // then ends `stopped` within kStopCheck, sending nothing more (an answer
    // half received is dropped). It must outlive the exchange.
    void watch_stop(const std::atomic<bool>& stop) { stop_ = &stop; }
    // A quarter second: a stop is that prompt, and each check is a wake-up
    // the controller pays for while an answer crosses the line.
    static constexpr std::chrono::milliseconds kStopCheck{250};

    // The command the master sends next (the controller's send_command hook).
    // It goes out when run() reaches it; a later submit before then replaces it.
    void submit(uint8_t cid1, uint8_t cid2, std::span<const uint8_t> info);
    bool has_pending() const { return pending_.has_value(); }

    // Sends the submitted command, framed with the master's protocol_ver and
    // address, and goes on until the exchange ends:
    //  - before each attempt the line is drained: nothing that came earlier is
    //    taken as the answer; and when an earlier command's answer is still
    //    owed (an attempt timed out), a new command waits for it first, up to
    //    answer_timeout_ms, so that it is not taken for the new one's answer;
    //  - an answer is accepted only from the master's ADR with the command's
    //    CID1; it goes to master.process(): process_payload() 0 ends the
    //    exchange (answered); 1 with a new command submitted sends that
    //    command; 1 without one (or -1) is a refusal;
    //  - a failed attempt is reported and retried up to the retry count; then
    //    the exchange ends (timed_out or rejected, by the last attempt).
    // For every end but `answered` the exchange calls master.Reset() (the
    // master already did for `answered`); timed_out, rejected and line_failed
    // are also reported through master.process_error().
    ExchangeEnd run(PMBusProtocol& master);

    // Reads what the line holds, without waiting, and drops it: answers
    // count as unsolicited, bad frames as rejected.
    void drain();

    const ExchangeCounters& counters() const { return counters_; }
    // The command of the last attempt (CID1, CID2); the last accepted answer
    // as decoded, before the master saw it.
    std::pair<uint8_t, uint8_t> last_command() const { return last_command_; }
    std::span<const uint8_t> last_answer() const { return last_answer_; }

private:
    using Clock = std::chrono::steady_clock;
    struct Command {
        uint8_t cid1;
        uint8_t cid2;
        std::vector<uint8_t> info;
    };
    struct Awaited {
        std::optional<FailedAttempt> failure;  // nothing: answer_ holds the answer
        bool frame_seen = false;               // a frame (even a rejected one) ended the attempt
        bool stopped = false;                  // the stop flag ended the wait
    };
    Awaited await_answer(PMBusProtocol& master, const Command& command);
    // Sleeps until `until` (no later than the stop is seen).
    void pause_until(Clock::time_point until);
    // Waits, up to the time it is owed by, for an answer still owed.
    void settle();
    // Feeds bytes that answer no outstanding command.
    void discard(std::span<const uint8_t> bytes);
    void frame_outside_attempt();
    ExchangeEnd end(PMBusProtocol& master, ExchangeEnd how, std::string_view why);
    void log(std::string_view text) const;
    bool stop_requested() const { return stop_ && stop_->load(std::memory_order_relaxed); }
    // read_some, waiting at most kStopCheck at a time while a stop flag is watched.
    LineRead read_for(int timeout_ms);

    ByteLine* line_;
    const std::atomic<bool>* stop_ = nullptr;
    LogSink log_;
    AttemptSink attempts_;
    unsigned retries_ = 2;
    frame::Decoder decoder_;
    std::optional<Command> pending_;
    std::vector<uint8_t> answer_;       // the answer the master is handed, a copy it may write to
    std::vector<uint8_t> last_answer_;  // the same, as it came
    std::pair<uint8_t, uint8_t> last_command_{};
    std::array<uint8_t, 512> chunk_{};
    // By CID1, CID2 and INFO (one command may ask for answers of several
    // sizes by its INFO): how long after its sending a command's answer was
    // last whole in hand. An attempt sleeps that long before it looks, so an
    // answer of the usual size and delay costs one wake-up, not one for its
    // first chunk and one for the rest.
    std::map<std::string, Clock::duration> answer_took_;  // keyed by the bytes CID1 CID2 INFO
    static constexpr std::chrono::microseconds kPauseShortening{250};
    unsigned owed_ = 0;                 // answers to timed-out attempts that may still come
    Clock::time_point owed_until_{};
    ExchangeCounters counters_;
};
