#pragma once
// Child devices that record what the master hands them and answer with
// scripted results, to test the master's dispatch on its own.
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "host/interface/ztx_sp_device.h"

struct FakeChild : ZTXSPDevice {
    struct Call {
        std::string op;
        std::vector<uint8_t> bytes;
        int len;
    };
    std::vector<Call> calls;
    std::deque<int> results;  // scripted results; when empty, consumes all it was given
    std::shared_ptr<std::vector<std::string>> events = std::make_shared<std::vector<std::string>>();
    std::string model_text;

    bool LoadFromCache(const uint8_t*, int) override { return false; }
    void RoundDone() override { events->push_back(device_type + " " + std::to_string(data_id) + " RoundDone"); }

    int record(const char* op, const uint8_t* p, int len) {
        calls.push_back({op, p && len > 0 ? std::vector<uint8_t>(p, p + len) : std::vector<uint8_t>{}, len});
        if (results.empty()) return len > 0 ? len : -1;
        const int r = results.front();
        results.pop_front();
        return r;
    }
};

struct FakeAC : FakeChild {
    FakeAC() { device_type = "fake-ac"; }
    virtual int parse40_41(const uint8_t* p, int n) { return record("40_41", p, n); }
    virtual int parse40_43(const uint8_t* p, int n) { return record("40_43", p, n); }
    virtual int parse40_44(const uint8_t* p, int n) { return record("40_44", p, n); }
};

struct FakeDC : FakeChild {
    explicit FakeDC(const std::string& model) {
        device_type = "fake-dc";
        model_text = model;
    }
    virtual int parse42_41(const uint8_t* p, int n) { return record("42_41", p, n); }
    virtual int parse42_44(const uint8_t* p, int n) { return record("42_44", p, n); }
};

struct FakeRC : FakeChild {
    FakeRC() { device_type = "fake-rc"; }
    virtual int parse41_41(const uint8_t* p, int n) { return record("41_41", p, n); }
    virtual int parse41_43(const uint8_t* p, int n) { return record("41_43", p, n); }
    virtual int parse41_44(const uint8_t* p, int n) { return record("41_44", p, n); }
    virtual int parse40_46(const uint8_t* p, int n) { return record("40_46", p, n); }
    virtual int parse42_46(const uint8_t* p, int n) { return record("42_46", p, n); }
};
