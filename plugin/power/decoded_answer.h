#pragma once
// A view of the decoded answer the host hands the master (at rx_frame):
//   0..1  not read   2  CID1   3  not read
//   4..5  INFO length in characters, little-endian (twice the byte count)
//   6..   INFO bytes
// The host guarantees the INFO bytes the length announces are present; the
// master reads nothing beyond them.
#include <cstdint>
#include <optional>

class DecodedAnswer {
public:
    explicit DecodedAnswer(const uint8_t* frame)
        : cid1_(frame[2]),
          info_len_((frame[4] | frame[5] << 8) >> 1),
          info_(frame + 6) {}

    uint8_t cid1() const { return cid1_; }
    // L, the INFO byte count.
    int info_len() const { return info_len_; }
    // INFO byte i, or nothing when the INFO is shorter.
    std::optional<uint8_t> info_byte(int i) const {
        return i >= 0 && i < info_len_ ? std::optional<uint8_t>(info_[i]) : std::nullopt;
    }
    // The DATAFLAG of an analog answer (INFO byte 0).
    std::optional<uint8_t> dataflag() const { return info_byte(0); }
    // The unit count of an answer that carries one (INFO byte 1).
    std::optional<uint8_t> unit_count() const { return info_byte(1); }

    // What a child is handed from INFO offset `offset` on: a pointer inside
    // INFO and the bytes left, or no bytes at all once nothing is left.
    struct Share {
        const uint8_t* data;
        int len;
    };
    Share share_from(long long offset) const {
        if (offset < 0 || offset >= info_len_) return {nullptr, offset >= info_len_ ? clamp(info_len_ - offset) : 0};
        return {info_ + offset, static_cast<int>(info_len_ - offset)};
    }

private:
    static int clamp(long long n) { return n < -0x7FFFFFFFLL ? -0x7FFFFFFF : static_cast<int>(n); }

    uint8_t cid1_;
    int info_len_;
    const uint8_t* info_;
};
