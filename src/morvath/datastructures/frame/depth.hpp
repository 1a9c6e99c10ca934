// Recursion levels taken by a C++ walk that stands for nested calls.
//
// A walk that draws or flattens a nested structure in C++ counts each level
// as the calls it stands for (str() of a child running the library's own
// method, say: one C level for str() and one call of a function). Reading
// the thread state and calling Py_EnterRecursiveCall at every level costs
// more than the level's own work, so a walk keeps one DepthBudget: it reads
// the thread state once, and while both counters are well above zero a level
// is taken by changing them directly. Near either limit `enter` answers no
// and takes nothing; the caller then goes through Py_EnterRecursiveCall and
// RecursionGuard, which raise RecursionError exactly where they would. Code
// that runs inside a level (a user's __str__) sees the same counters either
// way.
#pragma once

#include "ref.hpp"

namespace frame {

class DepthBudget {
public:
    DepthBudget() noexcept : state_(PyThreadState_GetUnchecked()) {}
    DepthBudget(const DepthBudget&) = delete;
    DepthBudget& operator=(const DepthBudget&) = delete;

    // Takes `c_levels` C levels and `py_levels` Python levels when that
    // leaves both counters above zero, so that the ordinary checks could not
    // have failed; otherwise takes nothing and answers false.
    bool enter(int c_levels, int py_levels) noexcept {
        if (state_->c_recursion_remaining <= c_levels || state_->py_recursion_remaining <= py_levels)
            return false;
        state_->c_recursion_remaining -= c_levels;
        state_->py_recursion_remaining -= py_levels;
        return true;
    }

    // Gives back what a successful `enter` took.
    void leave(int c_levels, int py_levels) noexcept {
        state_->c_recursion_remaining += c_levels;
        state_->py_recursion_remaining += py_levels;
    }

    // The levels of one nested call, given back when the scope ends, however
    // it ends (a C++ exception included).
    class Level {
    public:
        Level(DepthBudget& budget, int c_levels, int py_levels) noexcept
            : budget_(budget), c_levels_(c_levels), py_levels_(py_levels),
              taken_(budget.enter(c_levels, py_levels)) {}
        ~Level() {
            if (taken_) budget_.leave(c_levels_, py_levels_);
        }
        Level(const Level&) = delete;
        Level& operator=(const Level&) = delete;

        // False near a limit: the caller takes the ordinary checks instead.
        bool taken() const noexcept { return taken_; }

    private:
        DepthBudget& budget_;
        int c_levels_, py_levels_;
        bool taken_;
    };

private:
    PyThreadState* state_;
};

}  // namespace frame
