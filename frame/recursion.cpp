#include "recursion.h"

#include <algorithm>

namespace frame {
namespace {

// How deep the package's levels on this thread reach. The stack grows the same
// way throughout, so distances between addresses need no sign.
struct Meter {
    int depth = 0;             // levels entered and not yet left
    std::uintptr_t base = 0;   // stack address at the outermost level
    std::uintptr_t last = 0;   // stack address at the innermost level
    int units = 0;             // what the entered levels charge together
};

thread_local Meter meter;

std::uintptr_t distance(std::uintptr_t a, std::uintptr_t b) { return a > b ? a - b : b - a; }

}  // namespace

StackCharge::StackCharge(const char* where) noexcept : guard_(units_due(), where) {
    if (!guard_) return;
    meter.units += units_;
    ++meter.depth;
    entered_ = true;
}

StackCharge::~StackCharge() {
    meter.last = saved_last_;
    if (!entered_) return;
    --meter.depth;
    meter.units -= units_;
}

int StackCharge::units_due() noexcept {
    volatile char probe = 0;  // its address marks how deep the C stack is here
    const auto here = reinterpret_cast<std::uintptr_t>(&probe);
    saved_last_ = meter.last;
    meter.last = here;
    if (meter.depth == 0) {
        meter.base = here;
        meter.units = 0;
        return units_ = 1;
    }
    // What the levels above use plus one more step like the last, in units;
    // far more than any limit when the distance is not a real depth.
    const std::size_t bytes = distance(meter.base, here) + distance(saved_last_, here);
    const std::size_t due = bytes / kStackBytesPerUnit + 1;
    const std::size_t held = static_cast<std::size_t>(meter.units);
    constexpr std::size_t kMaxUnits = 1 << 30;
    return units_ = due > held + 1 ? static_cast<int>(std::min(due - held, kMaxUnits)) : 1;
}

}  // namespace frame
