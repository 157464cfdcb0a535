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

// C stack that one call of a package function holds while code it calls (a
// replaced module global, a __getattr__, a __format__) comes back into the
// package: the function's entry and body and the interpreter's frames for the
// Python code in between. Measured on x86-64 at 650 to 1,000 bytes a cycle,
// and up to 1,500 with AddressSanitizer's red zones.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kReentryStackBytes = 1536;
#else
constexpr std::size_t kReentryStackBytes = 1024;
#endif
// What a call charges unless its function says otherwise, so that re-entry
// through any callback ends in RecursionError before the stack runs out.
constexpr int kReentryUnits = units_for_stack(kReentryStackBytes);

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
