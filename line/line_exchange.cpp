#include "line/line_exchange.h"

#include <chrono>

#include <fmt/format.h>

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

std::string_view to_string(ExchangeEnd e) {
    switch (e) {
        case ExchangeEnd::answered: return "answered";
        case ExchangeEnd::refused: return "refused";
        case ExchangeEnd::timed_out: return "timed out";
        case ExchangeEnd::not_sent: return "not sent";
        case ExchangeEnd::line_failed: return "line failed";
    }
    return "unknown";
}

LineExchange::LineExchange(ByteLine& line, LogSink log) : line_(line), log_(std::move(log)) {
    answer_.reserve(frame::kDecodedHeaderBytes + frame::kMaxInfoBytes);
}

void LineExchange::submit(uint8_t cid1, uint8_t cid2, std::span<const uint8_t> info) {
    pending_ = Command{cid1, cid2, {info.begin(), info.end()}};
}

void LineExchange::log(std::string_view text) const {
    if (log_) log_(text);
}

void LineExchange::rejected(frame::Rejection r, std::string_view when) {
    ++counters_.rejected[static_cast<size_t>(r.reason)];
    log(fmt::format("frame rejected {}: {}", when, frame::describe(r)));
}

void LineExchange::discard(std::span<const uint8_t> bytes) {
    for (uint8_t b : bytes) {
        switch (decoder_.push(b)) {
            case frame::Decoder::Step::need_more: break;
            case frame::Decoder::Step::rejected: rejected(decoder_.rejection(), "with no command outstanding"); break;
            case frame::Decoder::Step::frame:
                ++counters_.unsolicited;
                log("answer dropped: no command outstanding");
                break;
        }
    }
}

void LineExchange::drain() {
    for (;;) {
        const LineRead r = line_.read_some(chunk_, 0);
        if (r.error || r.count == 0) break;
        discard(std::span(chunk_).first(r.count));
    }
    decoder_.reset();  // a partial frame left now belongs to no command either
}

ExchangeEnd LineExchange::end(PMBusProtocol& master, ExchangeEnd how, std::string_view why) {
    ++counters_.ended[static_cast<size_t>(how)];
    if (how == ExchangeEnd::answered) return how;
    log(fmt::format("exchange {}: {}", to_string(how), why));
    pending_.reset();
    if (how == ExchangeEnd::timed_out || how == ExchangeEnd::line_failed) master.process_error();
    master.Reset();
    return how;
}

ExchangeEnd LineExchange::run(PMBusProtocol& master) {
    for (;;) {
        drain();
        if (!pending_) return end(master, ExchangeEnd::not_sent, "no command to send");
        const Command command = std::move(*pending_);
        pending_.reset();
        const auto bytes = frame::encode_command(master.protocol_ver, master.address, command.cid1, command.cid2,
                                                 command.info);
        if (!bytes)
            return end(master, ExchangeEnd::not_sent,
                       fmt::format("INFO of {} bytes does not fit a frame", command.info.size()));
        if (const auto error = line_.write_all(*bytes))
            return end(master, ExchangeEnd::not_sent, fmt::format("write failed: {}", error.message()));
        ++counters_.commands_sent;

        if (auto failed = await_answer(master))
            return end(master, failed->how,
                       fmt::format("CID1 0x{:02X} CID2 0x{:02X}: {}", command.cid1, command.cid2, failed->why));
        ++counters_.answers;
        const int result = master.process(answer_.data(), static_cast<unsigned>(answer_.size()));
        if (result == 0) {
            pending_.reset();  // the master ended the exchange; nothing more goes out
            return end(master, ExchangeEnd::answered, {});
        }
        if (result != 1 || !pending_)
            return end(master, ExchangeEnd::refused,
                       fmt::format("the master refused the answer to CID1 0x{:02X} CID2 0x{:02X}", command.cid1,
                                   command.cid2));
    }
}

std::optional<LineExchange::Failure> LineExchange::await_answer(PMBusProtocol& master) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(master.answer_timeout_ms);
    const auto timed_out = [&] {
        return Failure{ExchangeEnd::timed_out, fmt::format("no valid answer within {} ms", master.answer_timeout_ms)};
    };
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return timed_out();
        const LineRead r = line_.read_some(chunk_, static_cast<int>(left));
        if (r.error) return Failure{ExchangeEnd::line_failed, r.error.message()};
        if (r.count == 0) return timed_out();
        const auto bytes = std::span(chunk_).first(r.count);
        for (size_t i = 0; i < bytes.size(); ++i) {
            const auto step = decoder_.push(bytes[i]);
            if (step == frame::Decoder::Step::need_more) continue;
            if (step == frame::Decoder::Step::rejected) {
                rejected(decoder_.rejection(), "awaiting an answer");
                continue;
            }
            const auto decoded = decoder_.frame();
            if (decoded[1] != master.address) {
                rejected({frame::Error::wrong_address}, fmt::format("awaiting an answer (ADR 0x{:02X})", decoded[1]));
                continue;
            }
            answer_.assign(decoded.begin(), decoded.end());
            discard(bytes.subspan(i + 1));
            decoder_.reset();
            return std::nullopt;
        }
    }
}
