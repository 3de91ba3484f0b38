// The host's side of PMBusProtocol: line settings, command hand-off to the
// controller, and delivery of decoded answers to the master.
#include <algorithm>
#include <limits>

#include <json/value.h>

#include "host/interface/pmbus_protocol.h"
#include "host/line/serial_line.h"

namespace {

constexpr unsigned kHeaderBytes = 6;  // bytes before INFO in a decoded answer

// Reads an optional integer setting in [lo, hi]; false when present but not one.
bool read_int(const Json::Value& config, const char* key, long long lo, long long hi, long long& out) {
    const Json::Value& v = config[key];
    if (v.isNull()) return true;
    if (!v.isIntegral()) return false;
    const long long n = v.isUInt64() ? static_cast<long long>(std::min<Json::UInt64>(v.asUInt64(), hi + 1ull))
                                     : v.asInt64();
    if (n < lo || n > hi) return false;
    out = n;
    return true;
}

}  // namespace

bool PMBusProtocol::InitSetting(const Json::Value& config) {
    if (!config.isObject()) return config.isNull();
    long long baud = baud_rate, addr = address, ver = protocol_ver, timeout = answer_timeout_ms;
    // A baud rate must be one the line can be set to.
    if (!read_int(config, "baud_rate", 1, std::numeric_limits<int>::max(), baud) ||
        !is_supported_baud_rate(static_cast<int>(baud)) || !read_int(config, "address", 0, 255, addr) ||
        !read_int(config, "protocol_ver", 0, 255, ver) ||
        !read_int(config, "answer_timeout_ms", 1, 600'000, timeout))
        return false;
    const Json::Value& p = config["port"];
    if (!p.isNull() && !p.isString()) return false;
    baud_rate = static_cast<int>(baud);
    address = static_cast<uint8_t>(addr);
    protocol_ver = static_cast<uint8_t>(ver);
    answer_timeout_ms = static_cast<int>(timeout);
    if (p.isString()) port = p.asString();
    return true;
}

void PMBusProtocol::write_pmbus_cmd(uint8_t cid1, uint8_t cid2) { write_pmbus_cmd(cid1, cid2, nullptr, 0); }

void PMBusProtocol::write_pmbus_cmd(uint8_t cid1, uint8_t cid2, const uint8_t* data, int len) {
    const size_t n = (data && len > 0) ? static_cast<size_t>(len) : 0;
    if (auto c = controller.lock()) c->send_command(*this, cid1, cid2, {data, n});
}

int PMBusProtocol::process(uint8_t* data, unsigned len) {
    if (!data || len < kHeaderBytes) {
        process_error();
        return -1;
    }
    const unsigned info_chars = data[4] | (data[5] << 8);
    if (len - kHeaderBytes < info_chars / 2) {
        process_error();
        return -1;
    }
    rx_frame = data;
    const int result = process_payload();
    rx_frame = nullptr;
    return result;
}

void PMBusProtocol::process_error() { ++line_errors; }
