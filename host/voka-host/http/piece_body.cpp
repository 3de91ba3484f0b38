#include "host/voka-host/http/piece_body.h"

#include <algorithm>

size_t PieceBody::read(std::span<char> out) {
    size_t written = 0;
    while (written < out.size() && !done_) {
        if (handed_ == pending_.size()) {
            pending_ = next_piece();
            handed_ = 0;
            if (pending_.empty()) {
                done_ = true;
                break;
            }
        }
        const size_t n = std::min(out.size() - written, pending_.size() - handed_);
        std::copy_n(pending_.data() + handed_, n, out.data() + written);
        handed_ += n;
        written += n;
    }
    return written;
}
