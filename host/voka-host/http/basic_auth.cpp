#include "host/voka-host/http/basic_auth.h"

#include <crypt.h>
#include <time.h>

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "plugin/shared/byte_reader.h"

namespace {

// The value of one base64 character; -1 for any other.
int sextet(uint8_t c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Standard base64 with its padding; nothing when `text` is not that.
std::optional<std::string> base64_decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    ByteReader in(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    std::string out;
    while (in.remaining() > 0) {
        const auto group = *in.take<4>();  // four characters remain: the length is a multiple of 4
        // "=" pads the last group only, and only at its end: "xx==" or "xxx=".
        const bool last = in.remaining() == 0;
        const int padding = !last || group[3] != '=' ? 0 : group[2] == '=' ? 2 : 1;
        std::array<int, 4> v{};
        for (int i = 0; i < 4 - padding; ++i)
            if ((v[i] = sextet(group[i])) < 0) return std::nullopt;
        const uint32_t bits = static_cast<uint32_t>(v[0] << 18 | v[1] << 12 | v[2] << 6 | v[3]);
        out.push_back(static_cast<char>(bits >> 16));
        if (padding < 2) out.push_back(static_cast<char>(bits >> 8 & 0xFF));
        if (padding < 1) out.push_back(static_cast<char>(bits & 0xFF));
    }
    return out;
}

// crypt_r of `password` with the method and salt of `hash`; "" when it fails.
std::string crypt_with(const std::string& password, const std::string& hash) {
    auto data = std::make_unique<crypt_data>();  // tens of kilobytes: not on a handler's stack
    const char* out = crypt_r(password.c_str(), hash.c_str(), data.get());
    // libcrypt reports failure with null or a string starting with '*'.
    if (!out || out[0] == '*') return {};
    return out;
}

}  // namespace

std::optional<BasicCredential> parse_basic_authorization(std::string_view header) {
    constexpr std::string_view kScheme = "Basic ";
    if (header.size() < kScheme.size()) return std::nullopt;
    for (size_t i = 0; i < kScheme.size() - 1; ++i)  // the scheme name is case-insensitive
        if ((header[i] | 0x20) != (kScheme[i] | 0x20)) return std::nullopt;
    if (header[kScheme.size() - 1] != ' ') return std::nullopt;
    const auto decoded = base64_decode(header.substr(kScheme.size()));
    if (!decoded) return std::nullopt;
    const size_t colon = decoded->find(':');
    if (colon == std::string::npos) return std::nullopt;
    return BasicCredential{decoded->substr(0, colon), decoded->substr(colon + 1)};
}

bool usable_password_hash(const std::string& hash) {
    bool strong = false;
    for (const char* prefix : {"$6$", "$5$", "$y$", "$2b$"}) strong = strong || hash.rfind(prefix, 0) == 0;
    return strong && crypt_with("", hash).size() == hash.size();
}

bool equal_in_constant_time(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

bool BasicAuth::accepts(std::string_view authorization_header) const {
    const auto credential = parse_basic_authorization(authorization_header);
    if (!credential) return false;
    // The password is hashed whatever the user: a wrong user costs the same time.
    const bool password_ok = equal_in_constant_time(crypt_with(credential->password, password_hash_), password_hash_);
    const bool user_ok = equal_in_constant_time(credential->user, user_);
    return password_ok & user_ok;
}

namespace {

// The calling thread's CPU time: what a check costs, not what the machine's
// other work at start adds to it.
std::chrono::nanoseconds thread_cpu_time() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

}  // namespace

std::chrono::microseconds BasicAuth::check_cost() const {
    const auto start = thread_cpu_time();
    [[maybe_unused]] const bool matched = equal_in_constant_time(crypt_with("a password to time", password_hash_),
                                                                 password_hash_);
    return std::chrono::duration_cast<std::chrono::microseconds>(thread_cpu_time() - start);
}
