#pragma once
// A device on a serial port: the host's machinery calls RefreshStatus on each
// tick and hands received bytes to process().
#include <cstdint>

#include "host/interface/ztx_vdevice.h"

class ZTXSPDevice : public ZTXVDevice {
public:
    // Slot order is fixed by the host; do not reorder.
    void Reset() override;
    bool Init() override;
    // True when the line is free and a round is due; false: skip this tick.
    virtual bool RefreshStatus();
    // Received bytes; the result is the device's answer to them (see overrides).
    virtual int process(uint8_t* data, unsigned len);
    virtual bool IsProcessing() const;
    virtual bool IsStalled() const;
    virtual int SendData(const uint8_t* data, unsigned len);
    virtual int SendParityData(const uint8_t* data, unsigned len, bool even_parity);
    virtual bool OpenPort();
    virtual void ClosePort();

    uint32_t sp_state = 0;  // 0: idle; 1: an exchange is open on the line
    bool sp_flag = false;   // the device speaks a framed command protocol
};
