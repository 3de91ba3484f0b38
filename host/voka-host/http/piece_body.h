#pragma once
// A streamed body made of pieces of text, each made only when the client has
// taken the previous one: the subclass says what comes next.
#include <span>
#include <string>

#include "host/voka-host/http/http_server.h"

class PieceBody : public BodySource {
public:
    // Hands out the pieces in order; 0 once next_piece() has given "".
    // Throws what next_piece() throws.
    size_t read(std::span<char> out) final;

protected:
    // The next piece of the body; "" when it is complete (never "" before).
    virtual std::string next_piece() = 0;

private:
    std::string pending_;  // made but not yet handed out
    size_t handed_ = 0;    // of pending_
    bool done_ = false;
};
