#pragma once
// The host's framed command/response conversation on a serial line. The host
// frames, sends, receives, checks and decodes; the deriving master chooses
// each command and reads each decoded answer in process_payload().
//
// Decoded answer at rx_frame (valid only during process_payload):
//   0..1  not read          2  CID1          3  not read
//   4..5  INFO length in characters, little-endian (twice the INFO byte count)
//   6..   INFO bytes
#include <cstdint>
#include <string>

#include "host/interface/ztx_sp_device.h"

class PMBusProtocol : public ZTXSPDevice {
public:
    // Reads the host's line settings from the power-system element; false when
    // one is present but malformed. Keys, all optional: "port" (string),
    // "baud_rate" (a rate the serial line can be set to), "address" (0-255), "protocol_ver" (0-255),
    // "answer_timeout_ms" (integer > 0).
    bool InitSetting(const Json::Value& config) override;

    // Sends a command with empty INFO, or with `len` INFO bytes from `data`.
    void write_pmbus_cmd(uint8_t cid1, uint8_t cid2);
    void write_pmbus_cmd(uint8_t cid1, uint8_t cid2, const uint8_t* data, int len);

    // Takes one decoded answer (layout above), sets rx_frame and calls
    // process_payload(). Returns its result, or -1 for a decoded answer too
    // short for its own INFO length, which never reaches process_payload().
    int process(uint8_t* data, unsigned len) override;

    // Slot order is fixed by the host; do not reorder.
    // Reads the answer at rx_frame and sends the next command; 0 after it called
    // Reset() (exchange over), else 1.
    virtual int process_payload() = 0;
    virtual void process_error();

    int baud_rate = 9600;
    uint8_t protocol_ver = 0x20;
    int cmd_stage = 0;
    const uint8_t* rx_frame = nullptr;

    // Host-side line settings (the plug-in does not use them).
    std::string port;
    uint8_t address = 1;
    int answer_timeout_ms = 1000;
    unsigned line_errors = 0;  // answers refused by process() or reported by process_error()
};
