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
        for (; entered_ > 0; --entered_) Py_LeaveRecursiveCall();
    }
    int entered_ = 0;
    bool ok_ = false;
};

}  // namespace frame
