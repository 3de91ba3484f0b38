#include "host/voka-host/line_checks/diagnosis.h"

#include <fmt/format.h>

#include "protocol/commands.h"

namespace {

std::string command_name(uint8_t cid1, uint8_t cid2) { return fmt::format("CID1 0x{:02X} CID2 0x{:02X}", cid1, cid2); }

std::string units(size_t n, const char* what) { return fmt::format("{} {} unit{}", n, what, n == 1 ? "" : "s"); }

}  // namespace

std::string diagnose(const FailedAttempt& f, const LineSetting& line) {
    const std::string command = command_name(f.cid1, f.cid2);
    switch (f.why) {
        case AttemptFailure::no_answer:
            return fmt::format("no answer to {} at address {}, {} baud (check address, baud rate and wiring)", command,
                               line.address, line.baud_rate);
        case AttemptFailure::cut_off: {
            std::string text = fmt::format("every answer to {:02X} {:02X} is cut off by the {} ms time-out", f.cid1,
                                           f.cid2, line.timeout_ms);
            if (line.answer_ms)
                if (const auto it = line.answer_ms->find(static_cast<uint16_t>(f.cid1 << 8 | f.cid2));
                    it != line.answer_ms->end())
                    text += fmt::format(" (it needs {} ms at {} baud)", it->second, line.baud_rate);
            return text + "; raise answer_timeout_ms";
        }
        case AttemptFailure::rejected:
            switch (f.rejection.reason) {
                case frame::Error::equipment_refused:
                    return fmt::format("the equipment refuses {} with RTN 0x{:02X} (check protocol_ver and the "
                                       "equipment's protocol)",
                                       command, f.rejection.rtn);
                case frame::Error::wrong_address:
                    return fmt::format("the answer to {} comes from another address than {} (check address)", command,
                                       line.address);
                case frame::Error::wrong_command:
                    return fmt::format("the answer to {} carries another CID1 (check the equipment's protocol)",
                                       command);
                default:
                    return fmt::format("every answer to {} is damaged: {} (check baud rate, wiring and earthing)",
                                       command, frame::describe(f.rejection));
            }
        case AttemptFailure::line_failed:
            return fmt::format("the serial line failed while sending {}: {}", command, f.detail);
    }
    return command;
}

std::string diagnose_refusal(uint8_t cid1, uint8_t cid2, std::span<const uint8_t> answer, const LineSetting& line) {
    // The AC and DC unit counts must match the site's; the module count may change at run time.
    const protocol::Command* c = protocol::kVokaSet.find(cid1, cid2);
    const bool ac = c && c->counted == protocol::Counted::ac_units, dc = c && c->counted == protocol::Counted::dc_units;
    if ((ac || dc) && answer.size() > frame::kDecodedHeaderBytes + c->count_at) {
        const size_t reported = answer[frame::kDecodedHeaderBytes + c->count_at];
        const size_t configured = ac ? line.ac_devices : line.dc_devices;
        if (reported != configured)
            return fmt::format("the equipment reports {} but the site configures {} ({})",
                               units(reported, ac ? "AC" : "DC"), configured, ac ? "acSetting" : "dcSetting");
    }
    return fmt::format("the plug-in refuses every answer to {} (see its log lines)", command_name(cid1, cid2));
}
