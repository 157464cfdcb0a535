// The interpreter's recursion guard for native walks.
//
// The recursion limit counts units, not bytes: the interpreter's own `json`
// spends about 115-123 bytes of C stack per unit. A native walk charges one
// unit per 100 bytes of stack it holds, so that on any thread where `json` is
// safe at a given limit, the walk is safe too and ends in RecursionError. And
// whatever the limit, a level that finds less room left on the thread's stack
// than a margin raises RecursionError instead of going on.
#pragma once

#include "ref.h"

#include <cstddef>
#include <cstdint>

namespace frame {

struct Meter;

// C stack that one unit of the recursion limit stands for: less than what
// `json` spends per unit, so a walk never reaches deeper than `json` could.
constexpr std::size_t kStackBytesPerUnit = 100;

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

// One level of a native walk, or one call of a package function, charged for
// the C stack it really uses. A per-thread meter records how deep the
// enclosing levels reach below the outermost one; a new level charges the
// recursion guard for that depth plus one more step of the size the last one
// took, less what the enclosing levels already charged (at least one unit).
// Each extension module links its own copy of the frame, so each keeps its own
// meter per thread: levels of another module that lie between two of this
// module's levels are charged by both, never by neither.
//
// Independently of the limit, each level compares the room left below it on
// the thread's stack (the thread's stack bounds, read once per thread) with a
// margin for the work that follows without a level of its own (runtime calls,
// printing, raising); with less room it raises RecursionError. So however
// high the recursion limit, the walk ends in RecursionError before the stack
// runs out, whatever the build (a sanitizer's larger frames included).
class StackCharge {
public:
    explicit StackCharge(const char* where) noexcept;
    ~StackCharge();
    StackCharge(const StackCharge&) = delete;
    StackCharge& operator=(const StackCharge&) = delete;

    // False (with RecursionError set) when the limit was reached.
    explicit operator bool() const noexcept { return entered_; }

private:
    int units_due() noexcept;

    Meter* meter_ = nullptr;         // this thread's
    std::uintptr_t saved_last_ = 0;  // the meter's innermost address before this level
    bool out_of_stack_ = false;      // too little room left on the thread's stack
    int units_ = 0;                  // what this level charges
    RecursionGuard guard_;
    bool entered_ = false;
};

}  // namespace frame
