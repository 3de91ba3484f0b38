#pragma once
// The one way parsers read an answer's bytes: a cursor over what the master
// handed them. Every read checks first; a read that does not fit reads and
// consumes nothing, returns nothing, and records where the field would have
// ended (needed_end()) so the parser can report how much its layout needed.
//
// The reader does not own the bytes; they must outlive it.
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

static_assert(std::endian::native == std::endian::little,
              "records are stored little-endian in native layout");

class ByteReader {
public:
    // A negative or zero `len`, or a null pointer, gives an empty reader.
    ByteReader(const uint8_t* data, int len)
        : bytes_(data && len > 0 ? std::span<const uint8_t>(data, static_cast<size_t>(len))
                                 : std::span<const uint8_t>()) {}
    explicit ByteReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    size_t position() const { return pos_; }
    size_t remaining() const { return bytes_.size() - pos_; }
    // Where the last failed read would have ended, counted from the start.
    size_t needed_end() const { return needed_end_; }

    template <size_t N>
    std::optional<std::array<uint8_t, N>> take() {
        if (!fits(N)) return std::nullopt;
        std::array<uint8_t, N> out;
        std::memcpy(out.data(), bytes_.data() + pos_, N);
        pos_ += N;
        return out;
    }

    std::optional<uint8_t> u8() {
        auto b = take<1>();
        return b ? std::optional<uint8_t>((*b)[0]) : std::nullopt;
    }
    std::optional<uint16_t> u16_be() {
        auto b = take<2>();
        return b ? std::optional<uint16_t>(static_cast<uint16_t>((*b)[0] << 8 | (*b)[1])) : std::nullopt;
    }
    std::optional<uint16_t> u16_le() {
        auto b = take<2>();
        return b ? std::optional<uint16_t>(static_cast<uint16_t>((*b)[1] << 8 | (*b)[0])) : std::nullopt;
    }
    std::optional<float> f32_le() {
        auto b = take<4>();
        return b ? std::optional<float>(std::bit_cast<float>(*b)) : std::nullopt;
    }

    // Copies out.size() bytes into `out`, or nothing when they are not all there.
    bool copy_to(std::span<uint8_t> out) {
        if (!fits(out.size())) return false;
        if (!out.empty()) std::memcpy(out.data(), bytes_.data() + pos_, out.size());
        pos_ += out.size();
        return true;
    }

    bool skip(size_t n) {
        if (!fits(n)) return false;
        pos_ += n;
        return true;
    }

private:
    bool fits(size_t n) {
        if (n <= remaining()) return true;
        needed_end_ = pos_ + n;  // no overflow: pos_ <= size, n is a field width or a count byte times 4
        return false;
    }

    std::span<const uint8_t> bytes_;
    size_t pos_ = 0;
    size_t needed_end_ = 0;
};
