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
// Single-threaded: the host calls one exchange from one thread at a time.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/pmbus_protocol.h"
#include "line/frame_codec.h"
#include "line/serial_line.h"

// How an exchange ended.
enum class ExchangeEnd : uint8_t {
    answered,     // the master took the last answer and ended the exchange itself (process_payload 0)
    refused,      // the master handled an answer but sent no next command: it refused it
    timed_out,    // no valid answer within the master's answer_timeout_ms
    not_sent,     // no command to send, one too long to frame, or the line would not take it
    line_failed,  // the line failed while an answer was awaited
};
inline constexpr size_t kExchangeEnds = 5;
std::string_view to_string(ExchangeEnd e);

// What happened on one line, counted since the exchange was made.
struct ExchangeCounters {
    unsigned commands_sent = 0;
    unsigned answers = 0;      // valid answers handed to the master
    unsigned unsolicited = 0;  // valid answers with no command outstanding, dropped
    std::array<unsigned, frame::kErrorKinds> rejected{};  // by reason, whenever seen
    std::array<unsigned, kExchangeEnds> ended{};                  // exchanges, by ExchangeEnd

    unsigned rejections(frame::Error e) const { return rejected[static_cast<size_t>(e)]; }
    unsigned exchanges(ExchangeEnd e) const { return ended[static_cast<size_t>(e)]; }
};

class LineExchange {
public:
    using LogSink = std::function<void(std::string_view)>;

    // `line` must outlive the exchange. `log` receives one line of text for
    // each rejected frame, dropped answer and failed exchange.
    explicit LineExchange(ByteLine& line, LogSink log = {});

    // The command the master sends next (the controller's send_command hook).
    // It goes out when run() reaches it; a later submit before then replaces it.
    void submit(uint8_t cid1, uint8_t cid2, std::span<const uint8_t> info);
    bool has_pending() const { return pending_.has_value(); }

    // Sends the submitted command, framed with the master's protocol_ver and
    // address, and goes on until the exchange ends:
    //  - a valid answer from the master's address goes to master.process();
    //    process_payload() 0 ends the exchange (answered); 1 with a new
    //    command submitted sends that command; 1 without one (or -1 from
    //    process(): an answer too short, never expected from the decoder) is
    //    a refusal;
    //  - a rejected frame is counted and logged, and the wait goes on;
    //  - no valid answer within answer_timeout_ms ends it (timed_out).
    // Bytes already on the line before a command goes out, and any that
    // follow a valid answer in the same read, answer no outstanding command:
    // they are dropped, and never reach the master.
    // For every end but `answered` the exchange calls master.Reset() (the
    // master already did for `answered`); timed_out and line_failed are also
    // reported through master.process_error().
    ExchangeEnd run(PMBusProtocol& master);

    // Reads what the line holds, without waiting, and drops it: answers
    // count as unsolicited, bad frames as rejected.
    void drain();

    const ExchangeCounters& counters() const { return counters_; }

private:
    struct Command {
        uint8_t cid1;
        uint8_t cid2;
        std::vector<uint8_t> info;
    };
    struct Failure {
        ExchangeEnd how;
        std::string why;
    };
    // Waits for one valid answer from the master's address into answer_;
    // nothing when one came.
    std::optional<Failure> await_answer(PMBusProtocol& master);
    // Feeds bytes that answer no outstanding command.
    void discard(std::span<const uint8_t> bytes);
    void rejected(frame::Rejection r, std::string_view when);
    ExchangeEnd end(PMBusProtocol& master, ExchangeEnd how, std::string_view why);
    void log(std::string_view text) const;

    ByteLine& line_;
    LogSink log_;
    frame::Decoder decoder_;
    std::optional<Command> pending_;
    std::vector<uint8_t> answer_;  // the answer the master is handed, a copy it may write to
    std::array<uint8_t, 512> chunk_{};
    ExchangeCounters counters_;
};
