// The interpreter's recursion guard for native walks.
//
// The recursion limit counts units, not bytes: the interpreter's own `json`
// spends about 130 bytes of C stack per unit. A native walk that uses more stack
// per level charges more units per level, so that on any thread where `json` is
// safe at a given limit, the walk is safe too and ends in RecursionError.
#pragma once

#include "ref.h"

#include <cstddef>

namespace frame {

// C stack that one unit of the recursion limit stands for.
constexpr std::size_t kStackBytesPerUnit = 130;

// Units to charge for a level that uses `bytes` of C stack.
constexpr int units_for_stack(std::size_t bytes) {
    return static_cast<int>((bytes + kStackBytesPerUnit - 1) / kStackBytesPerUnit);
}

// Enters the guard `units` times on construction and leaves it as often on
// destruction. False (with RecursionError set) when the limit was reached; the
// units entered so far are already given back then.
class RecursionGuard {
public:
    RecursionGuard(int units, const char* where) noexcept {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000 && !defined(USE_STACKCHECK)
        // With room to spare, charge all units at once: entering the guard
        // only counts down the thread's remaining depth, as here. Near the
        // limit, the one-by-one path below raises exactly as the guard does.
        PyThreadState* thread = PyThreadState_Get();
        if (thread->recursion_remaining > units) {
            thread->recursion_remaining -= units;
            entered_ = units;
            ok_ = true;
            return;
        }
#endif
        for (; entered_ < units; ++entered_) {
            if (Py_EnterRecursiveCall(where)) {
                release();
                return;
            }
        }
        ok_ = true;
    }
    ~RecursionGuard() { release(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;

    explicit operator bool() const noexcept { return ok_; }

private:
    void release() noexcept {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000 && !defined(USE_STACKCHECK)
        // Leaving the guard only counts the remaining depth up again.
        PyThreadState_Get()->recursion_remaining += entered_;
        entered_ = 0;
#else
        for (; entered_ > 0; --entered_) Py_LeaveRecursiveCall();
#endif
    }
    int entered_ = 0;
    bool ok_ = false;
};

}  // namespace frame
