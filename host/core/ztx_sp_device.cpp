// The host's side of ZTXSPDevice: the line and its exchanges belong to the
// controller; the device only keeps whether an exchange is open.
#include "host/interface/ztx_sp_device.h"

void ZTXSPDevice::Reset() {
    sp_state = 0;
    if (auto c = controller.lock()) c->exchange_ended(*this);
}

bool ZTXSPDevice::Init() { return true; }

bool ZTXSPDevice::RefreshStatus() {
    auto c = controller.lock();
    if (!c || !c->may_poll(*this)) return false;
    sp_state = 1;
    return true;
}

int ZTXSPDevice::process(uint8_t*, unsigned) { return -1; }  // a plain serial device reads no answers

bool ZTXSPDevice::IsProcessing() const { return sp_state != 0; }

bool ZTXSPDevice::IsStalled() const { return false; }

int ZTXSPDevice::SendData(const uint8_t* data, unsigned len) {
    auto c = controller.lock();
    return c ? c->write_line(*this, {data, data ? len : 0u}) : -1;
}

// Parity is a property of the port, set when it is opened; the bytes are the same.
int ZTXSPDevice::SendParityData(const uint8_t* data, unsigned len, bool) { return SendData(data, len); }

// The controller owns and opens the ports; a device opens none of its own.
bool ZTXSPDevice::OpenPort() { return false; }
void ZTXSPDevice::ClosePort() {}
