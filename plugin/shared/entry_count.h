#pragma once
// What an analog answer's entry count (AC channels, rectifier modules) does to
// a device's list. Until an accepted live answer fixes the count (a new
// device, or one reloaded from history) the next accepted answer sets it.
// Once fixed, an answer with another count is refused, unless the same new
// count comes back in kConfirmations consecutive well-formed answers: then the
// equipment has changed (a module added or removed) and the new count
// replaces the fixed one. Either way a count takes effect only with an
// answer that is accepted, so a refused answer never re-sizes the list.
#include <cstdint>

namespace entry_count {

inline constexpr int kConfirmations = 3;

class Tracker {
public:
    bool fixed() const { return fixed_; }
    // A live answer was accepted with this count (and it had entries).
    void fix() {
        fixed_ = true;
        streak_ = 0;
    }
    // The count came from history: provisional again.
    void unfix() {
        fixed_ = false;
        streak_ = 0;
    }
    // A well-formed answer carried `m`, not the fixed count: true when this is
    // the kConfirmations-th such answer in a row with that same count.
    bool confirm_new(uint8_t m) {
        if (streak_ == 0 || m != candidate_) {
            candidate_ = m;
            streak_ = 0;
        }
        return ++streak_ >= kConfirmations;
    }
    // Anything else (an answer with the fixed count, a damaged one) ends a run.
    void break_streak() { streak_ = 0; }

private:
    bool fixed_ = false;
    uint8_t candidate_ = 0;
    int streak_ = 0;
};

}  // namespace entry_count
