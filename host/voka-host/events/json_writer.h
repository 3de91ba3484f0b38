#pragma once
// voka-host --json: every event as one JSON object on a line of its own.
#include <cstdio>

#include "host/voka-host/events/event.h"
#include "host/voka-host/events/line_writer.h"
#include "host/voka-host/presentation/json_text.h"

class JsonWriter final : public EventSink {
public:
    explicit JsonWriter(std::FILE* out) : out_(out) {}
    void handle(const Event& e) override;

private:
    LineWriter out_;
};
