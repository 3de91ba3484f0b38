#pragma once
// The one way a parser reports an answer too short for its layout: the
// message with the device's data id, the bytes the layout needed as far as
// it could be read, and the bytes there were. Always -1, the refusal.
#include "plugin/shared/byte_reader.h"
#include "host/interface/ztx_vdevice.h"

namespace parse_log {

inline int overflow(ZTXVDevice& device, const char* message, const ByteReader& r, int len) {
    device.InfoLog(message, device.data_id, r.needed_end(), len);
    return -1;
}

}  // namespace parse_log
