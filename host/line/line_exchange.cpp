#include "host/line/line_exchange.h"

#include <algorithm>

#include <fmt/format.h>

std::string_view to_string(ExchangeEnd e) {
    switch (e) {
        case ExchangeEnd::answered: return "answered";
        case ExchangeEnd::refused: return "refused";
        case ExchangeEnd::timed_out: return "timed out";
        case ExchangeEnd::rejected: return "rejected";
        case ExchangeEnd::not_sent: return "not sent";
        case ExchangeEnd::line_failed: return "line failed";
        case ExchangeEnd::stopped: return "stopped";
    }
    return "unknown";
}

std::string_view to_string(AttemptFailure f) {
    switch (f) {
        case AttemptFailure::no_answer: return "no_answer";
        case AttemptFailure::cut_off: return "cut_off";
        case AttemptFailure::rejected: return "rejected";
        case AttemptFailure::line_failed: return "line_failed";
    }
    return "unknown";
}

std::string describe(const FailedAttempt& f, int timeout_ms) {
    switch (f.why) {
        case AttemptFailure::no_answer: return fmt::format("no answer within {} ms", timeout_ms);
        case AttemptFailure::cut_off: return fmt::format("answer cut off by the {} ms time-out", timeout_ms);
        case AttemptFailure::rejected: return frame::describe(f.rejection);
        case AttemptFailure::line_failed: return "line failed: " + f.detail;
    }
    return "unknown";
}

LineExchange::LineExchange(ByteLine& line, LogSink log, AttemptSink attempts)
    : line_(&line), log_(std::move(log)), attempts_(std::move(attempts)) {
    answer_.reserve(frame::kDecodedHeaderBytes + frame::kMaxInfoBytes);
    last_answer_.reserve(answer_.capacity());
}

void LineExchange::set_line(ByteLine& line) {
    line_ = &line;
    decoder_.reset();
    owed_ = 0;  // answers owed on the old line never come on this one
}

void LineExchange::submit(uint8_t cid1, uint8_t cid2, std::span<const uint8_t> info) {
    pending_ = Command{cid1, cid2, {info.begin(), info.end()}};
}

void LineExchange::log(std::string_view text) const {
    if (log_) log_(text);
}

void LineExchange::frame_outside_attempt() {
    if (owed_ > 0) --owed_;
}

void LineExchange::discard(std::span<const uint8_t> bytes) {
    for (uint8_t b : bytes) {
        switch (decoder_.push(b)) {
            case frame::Decoder::Step::need_more: break;
            case frame::Decoder::Step::rejected: {
                const frame::Rejection r = decoder_.rejection();
                if (r.reason == frame::Error::noise) break;
                ++counters_.rejected[static_cast<size_t>(r.reason)];
                frame_outside_attempt();
                log(fmt::format("frame dropped with no command outstanding: {}", frame::describe(r)));
                break;
            }
            case frame::Decoder::Step::frame:
                ++counters_.unsolicited;
                frame_outside_attempt();
                log("late answer dropped: no command outstanding");
                break;
        }
    }
    counters_.noise_bytes = decoder_.noise_bytes();
}

void LineExchange::drain() {
    for (;;) {
        const LineRead r = line_->read_some(chunk_, 0);
        if (r.error || r.count == 0) break;
        discard(std::span(chunk_).first(r.count));
    }
    decoder_.reset();  // a partial frame left now belongs to no command either
}

LineRead LineExchange::read_for(int timeout_ms) {
    if (stop_) timeout_ms = std::min(timeout_ms, static_cast<int>(kStopCheck.count()));
    // Mid-frame the decoder knows how much is still to come: one wake-up for
    // all of it rather than one for each byte as it arrives.
    const size_t rest = decoder_.bytes_to_frame_end();
    if (rest > 1) return line_->read_expected(chunk_, rest, timeout_ms);
    return line_->read_some(chunk_, timeout_ms);
}

void LineExchange::settle() {
    while (owed_ > 0 && !stop_requested()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(owed_until_ - Clock::now()).count();
        if (left <= 0) break;
        const LineRead r = read_for(static_cast<int>(left));
        if (r.error || (r.count == 0 && !stop_)) break;
        if (r.count == 0) continue;  // a slice of the wait ended, or all of it: the loop tells
        discard(std::span(chunk_).first(r.count));
    }
    owed_ = 0;
}

ExchangeEnd LineExchange::end(PMBusProtocol& master, ExchangeEnd how, std::string_view why) {
    ++counters_.ended[static_cast<size_t>(how)];
    if (how == ExchangeEnd::answered) return how;
    if (how == ExchangeEnd::refused || how == ExchangeEnd::not_sent) log(fmt::format("exchange {}: {}", to_string(how), why));
    pending_.reset();
    if (how == ExchangeEnd::timed_out || how == ExchangeEnd::rejected || how == ExchangeEnd::line_failed)
        master.process_error();
    master.Reset();
    return how;
}

ExchangeEnd LineExchange::run(PMBusProtocol& master) {
    for (;;) {
        if (!pending_) return end(master, ExchangeEnd::not_sent, "no command to send");
        const Command command = std::move(*pending_);
        pending_.reset();
        last_command_ = {command.cid1, command.cid2};
        const auto bytes = frame::encode_command(master.protocol_ver, master.address, command.cid1, command.cid2,
                                                 command.info);
        if (!bytes)
            return end(master, ExchangeEnd::not_sent,
                       fmt::format("INFO of {} bytes does not fit a frame", command.info.size()));
        const std::string named = fmt::format("CID1 0x{:02X} CID2 0x{:02X}", command.cid1, command.cid2);
        CommandCounters& counted = counters_.commands[static_cast<uint16_t>(command.cid1 << 8 | command.cid2)];
        settle();

        unsigned frames_seen = 0;
        unsigned attempt = 1;
        for (;; ++attempt) {
            if (stop_requested()) return end(master, ExchangeEnd::stopped, {});
            drain();
            if (const auto error = line_->write_all(*bytes)) {
                FailedAttempt f{command.cid1, command.cid2, attempt, AttemptFailure::line_failed,
                                {frame::Error::noise}, "write failed: " + error.message(), false};
                if (attempts_) attempts_(f);
                return end(master, ExchangeEnd::line_failed, fmt::format("{}: {}", named, f.detail));
            }
            ++counters_.commands_sent;
            ++counted.sent;
            if (attempt > 1) {
                ++counters_.retries;
                ++counted.retried;
            }
            Awaited got = await_answer(master, command);
            if (got.stopped) {
                owed_ = 0;
                return end(master, ExchangeEnd::stopped, {});
            }
            frames_seen += got.frame_seen;
            if (!got.failure) break;
            FailedAttempt& f = *got.failure;
            f.attempt = attempt;
            if (f.why == AttemptFailure::rejected)
                ++counted.rejected[static_cast<size_t>(f.rejection.reason)];
            else if (f.why != AttemptFailure::line_failed)
                ++counted.timed_out;
            f.will_retry = f.why != AttemptFailure::line_failed && attempt <= retries_;
            if (attempts_) attempts_(f);
            if (f.will_retry) continue;
            // Answers to timed-out attempts may still come: the next command waits for them.
            owed_ = attempt - frames_seen;
            owed_until_ = Clock::now() + std::chrono::milliseconds(master.answer_timeout_ms);
            const ExchangeEnd how = f.why == AttemptFailure::line_failed ? ExchangeEnd::line_failed
                                    : f.why == AttemptFailure::rejected  ? ExchangeEnd::rejected
                                                                         : ExchangeEnd::timed_out;
            return end(master, how,
                       fmt::format("{}: {} (attempt {})", named, describe(f, master.answer_timeout_ms), attempt));
        }
        owed_ = attempt - frames_seen;
        owed_until_ = Clock::now() + std::chrono::milliseconds(master.answer_timeout_ms);
        ++counters_.answers;
        ++counted.answered;
        last_answer_.assign(answer_.begin(), answer_.end());
        const int result = master.process(answer_.data(), static_cast<unsigned>(answer_.size()));
        if (result == 0) {
            pending_.reset();  // the master ended the exchange; nothing more goes out
            return end(master, ExchangeEnd::answered, {});
        }
        if (result != 1 || !pending_)
            return end(master, ExchangeEnd::refused, fmt::format("the master refused the answer to {}", named));
    }
}

void LineExchange::pause_until(Clock::time_point until) {
    for (auto now = Clock::now(); now < until && !stop_requested(); now = Clock::now())
        line_->pause_until(stop_ ? std::min(until, now + kStopCheck) : until);
}

LineExchange::Awaited LineExchange::await_answer(PMBusProtocol& master, const Command& command) {
    const auto sent = Clock::now();
    const auto deadline = sent + std::chrono::milliseconds(master.answer_timeout_ms);
    const auto failed = [&](AttemptFailure why, frame::Rejection r = {frame::Error::noise}, std::string detail = {}) {
        return FailedAttempt{command.cid1, command.cid2, 0, why, r, std::move(detail), false};
    };
    std::string key{static_cast<char>(command.cid1), static_cast<char>(command.cid2)};
    key.append(command.info.begin(), command.info.end());
    const auto took = answer_took_.find(key);
    // Nothing of this command's answer is needed before it is usually whole; the look after the pause is
    // made even when the pause reached the deadline, so an answer whole by then is never taken for late.
    bool look_once = false;
    if (took != answer_took_.end()) {
        pause_until(std::min(sent + took->second, deadline));
        look_once = true;
    }
    unsigned reads = 0;
    std::optional<frame::Rejection> rejection;  // the first rejected frame of the attempt
    for (;;) {
        if (stop_requested()) {
            decoder_.reset();
            return {std::nullopt, false, true};
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const LineRead r = left > 0 || look_once ? read_for(static_cast<int>(std::max<long>(left, 0))) : LineRead{};
        look_once = false;
        ++reads;
        if (r.error) {
            decoder_.reset();
            return {failed(AttemptFailure::line_failed, {frame::Error::noise}, r.error.message()), false};
        }
        if (r.count == 0 && stop_ && Clock::now() < deadline) continue;  // a slice of the wait ended
        if (r.count == 0) {
            // The rest of a cut-off answer comes as bytes outside any frame: it is owed no more.
            const bool begun = decoder_.mid_frame();
            decoder_.reset();
            return {failed(begun ? AttemptFailure::cut_off : AttemptFailure::no_answer), begun};
        }
        const auto bytes = std::span(chunk_).first(r.count);
        for (size_t i = 0; i < bytes.size(); ++i) {
            const auto step = decoder_.push(bytes[i]);
            if (step == frame::Decoder::Step::need_more) continue;
            frame::Rejection why{frame::Error::noise};
            if (step == frame::Decoder::Step::rejected) {
                why = decoder_.rejection();
                if (why.reason == frame::Error::noise) continue;  // counted as noise bytes, waits on
            } else {
                const auto decoded = decoder_.frame();
                if (decoded[1] != master.address) {
                    why = {frame::Error::wrong_address};
                } else if (decoded[2] != command.cid1) {
                    why = {frame::Error::wrong_command};
                } else {
                    // Whole at the first look after the pause: it may have been whole sooner, so the pause
                    // shortens a little (a pause too short costs a wake-up, a long one only delay); otherwise it
                    // lasts until the answer was seen whole this time.
                    if (took != answer_took_.end() && reads == 1)
                        took->second = std::max(Clock::duration::zero(), took->second - kPauseShortening);
                    else
                        answer_took_[std::move(key)] = Clock::now() - sent;
                    answer_.assign(decoded.begin(), decoded.end());
                    // What follows answers nothing outstanding; a frame begun there
                    // is decoded on (it may be an owed answer, waited for next).
                    discard(bytes.subspan(i + 1));
                    return {std::nullopt, true};
                }
            }
            ++counters_.rejected[static_cast<size_t>(why.reason)];
            if (!rejection) rejection = why;
        }
        counters_.noise_bytes = decoder_.noise_bytes();
        // A rejected frame ends the wait once what had come with it is read: no
        // valid answer follows it for this attempt.
        if (rejection) {
            decoder_.reset();
            return {failed(AttemptFailure::rejected, *rejection), true};
        }
    }
}
