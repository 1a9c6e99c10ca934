// Answering Ctrl-C inside long C++ loops.
//
// A loop that runs for long without calling Python code never lets the
// interpreter run its signal handlers, so a KeyboardInterrupt would wait until
// the loop ends. A SignalPoll counts a loop's steps and runs the pending
// handlers every kStride steps (a millisecond or two of the library's
// fastest loops, well below what a person notices after Ctrl-C). A handler
// that raises makes `interrupted()` true with the exception set; the loop then
// stops as it would at any other error there.
//
// The poll also runs a collection the interpreter has scheduled, one per
// poll. Polled every thousand steps, a loop that builds a million objects
// ran a collection every two thousand allocations, as a Python loop does, and
// with them the full collections that walk every object the process holds,
// which cost a flattening of 10^6 leaves more than its own work. Polled every
// few thousand steps, such a loop runs a tenth of the young collections and no
// full one; the loop makes no garbage, so nothing waits longer to be freed.
#pragma once

#include "ref.hpp"

namespace frame {

class SignalPoll {
public:
    bool interrupted() noexcept {
        if (--countdown_ > 0) return false;
        countdown_ = kStride;
        return PyErr_CheckSignals() < 0;
    }

private:
    static constexpr int kStride = 8192;
    int countdown_ = kStride;
};

}  // namespace frame
