#pragma once
// Calls a parser with its payload in a heap buffer of exactly `len` bytes, so
// that AddressSanitizer catches a read of even one byte past what it was given.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

template <class F>
int call_exact(F&& parse, const std::vector<uint8_t>& bytes, size_t len) {
    len = std::min(len, bytes.size());
    auto exact = std::make_unique<uint8_t[]>(len);
    std::copy_n(bytes.begin(), len, exact.get());
    return parse(exact.get(), static_cast<int>(len));
}

template <class F>
int call_exact(F&& parse, const std::vector<uint8_t>& bytes) {
    return call_exact(parse, bytes, bytes.size());
}
