// Answering Ctrl-C inside long C++ loops.
//
// A loop that runs for long without calling Python code never lets the
// interpreter run its signal handlers, so a KeyboardInterrupt would wait until
// the loop ends. A SignalPoll counts a loop's steps and runs the pending
// handlers every kStride steps (tens of microseconds of the library's
// fastest loops), which costs nothing measurable. A handler that raises makes
// `interrupted()` true with the exception set; the loop then stops as it would
// at any other error there.
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
    static constexpr int kStride = 1024;
    int countdown_ = kStride;
};

}  // namespace frame
