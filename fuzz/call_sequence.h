#pragma once
// Splits a fuzz input into a sequence of parser calls, so that one input can
// drive a device through several answers (state such as a fixed channel count
// carries over). Each call is: one selector byte, a length (one byte, or two
// little-endian bytes for targets whose payloads may be longer than 255), then
// that many payload bytes (fewer if the input ends, at most `max_len`). Every
// payload is copied into a heap buffer of exactly its length, so that a read
// one byte past it is caught.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

template <size_t LengthBytes = 1, class F>
void for_each_call(const uint8_t* data, size_t size, F&& call, size_t max_len = 255) {
    static_assert(LengthBytes == 1 || LengthBytes == 2);
    constexpr size_t kHead = 1 + LengthBytes;
    std::span<const uint8_t> in(data, size);
    while (in.size() >= kHead) {
        const uint8_t selector = in[0];
        const size_t announced = LengthBytes == 1 ? in[1] : static_cast<size_t>(in[1] | in[2] << 8);
        const size_t len = std::min({announced, max_len, in.size() - kHead});
        auto payload = std::make_unique<uint8_t[]>(len);
        std::copy_n(in.begin() + kHead, len, payload.get());
        call(selector, payload.get(), static_cast<int>(len));
        in = in.subspan(kHead + len);
    }
}
