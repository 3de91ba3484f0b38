#pragma once
// Splits a fuzz input into a sequence of parser calls, so that one input can
// drive a device through several answers (state such as a fixed channel count
// carries over). Each call is: one selector byte, one length byte, then that
// many payload bytes (fewer if the input ends). Every payload is copied into a
// heap buffer of exactly its length, so that a read one byte past it is caught.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

template <class F>
void for_each_call(const uint8_t* data, size_t size, F&& call) {
    std::span<const uint8_t> in(data, size);
    while (in.size() >= 2) {
        const uint8_t selector = in[0];
        const size_t len = std::min<size_t>(in[1], in.size() - 2);
        auto payload = std::make_unique<uint8_t[]>(len);
        std::copy_n(in.begin() + 2, len, payload.get());
        call(selector, payload.get(), static_cast<int>(len));
        in = in.subspan(2 + len);
    }
}
