#include "recursion.h"

#include "errors.h"

#include <algorithm>

#if defined(_WIN32)
#include <windows.h>
#elif defined(__APPLE__) || defined(__linux__) || defined(__FreeBSD__)
#include <pthread.h>
#if defined(__FreeBSD__)
#include <pthread_np.h>
#endif
#endif

// The helpers of units_due are inlined into it, so that the thread-local meter
// is found once (in a shared library each finding is a call).
#if defined(__GNUC__)
#define FRAME_INLINE [[gnu::always_inline]] inline
#else
#define FRAME_INLINE inline
#endif

namespace frame {
namespace {

// The lowest address of the current thread's stack (the stack grows down on
// every platform the package builds for), and its size; 0 when the system
// does not tell.
struct StackBounds {
    std::uintptr_t low = 0;
    std::size_t size = 0;
};

StackBounds read_stack_bounds() {
    StackBounds bounds;
#if defined(_WIN32)
    ULONG_PTR low = 0, high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    bounds.low = low;
    bounds.size = high - low;
#elif defined(__APPLE__)
    pthread_t self = pthread_self();
    const auto high = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self));
    bounds.size = pthread_get_stacksize_np(self);
    bounds.low = high - bounds.size;
#elif defined(__linux__) || defined(__FreeBSD__)
    pthread_attr_t attributes;
#if defined(__FreeBSD__)
    if (pthread_attr_init(&attributes) != 0) return bounds;
    const int failed = pthread_attr_get_np(pthread_self(), &attributes);
#else
    const int failed = pthread_getattr_np(pthread_self(), &attributes);
#endif
    if (failed == 0) {
        void* address = nullptr;
        std::size_t size = 0;
        if (pthread_attr_getstack(&attributes, &address, &size) == 0) {
            bounds.low = reinterpret_cast<std::uintptr_t>(address);
            bounds.size = size;
        }
        pthread_attr_destroy(&attributes);
    }
#if defined(__FreeBSD__)
    else {
        pthread_attr_destroy(&attributes);
    }
#endif
#endif
    return bounds;
}

// Room a level must find below it: what the work after the last level needs
// (runtime calls, printing, raising and its traceback), a quarter of the
// stack on small thread stacks, 64 KiB on large ones.
constexpr std::size_t kMinMargin = 16 * 1024;
// Stack that one unit of the recursion limit left below a level must find:
// half as much again as the interpreter's json.loads spends per unit.
constexpr std::size_t kRoomBytesPerUnit = 200;
constexpr std::size_t kMaxMargin = 64 * 1024;

std::size_t margin_for(std::size_t stack_size) {
    return std::clamp(stack_size / 4, kMinMargin, kMaxMargin);
}

}  // namespace

// How deep the package's levels on this thread reach. The stack grows the same
// way throughout, so distances between addresses need no sign.
struct Meter {
    int depth = 0;             // levels entered and not yet left
    std::uintptr_t base = 0;   // stack address at the outermost level
    std::uintptr_t last = 0;   // stack address at the innermost level
    int units = 0;             // what the entered levels charge together
    bool bounds_read = false;  // the thread's stack bounds below are known
    std::uintptr_t low = 0;    // the thread's stack, [low, high); both 0 when unknown
    std::uintptr_t high = 0;
    std::size_t margin = 0;    // room a level must find below it
};

namespace {

thread_local Meter this_thread_meter;

FRAME_INLINE std::uintptr_t distance(std::uintptr_t a, std::uintptr_t b) { return a > b ? a - b : b - a; }

// Whether a level at `here` lacks room on the thread's stack. An address
// outside the bounds read (a stack of the program's own making, switched to
// by a coroutine library) is not checked.
FRAME_INLINE bool short_of_stack(Meter& meter, std::uintptr_t here) {
    if (!meter.bounds_read) {
        meter.bounds_read = true;
        const StackBounds bounds = read_stack_bounds();
        if (bounds.low && bounds.size) {
            meter.low = bounds.low;
            meter.high = bounds.low + bounds.size;
            meter.margin = margin_for(bounds.size);
        }
    }
    return here >= meter.low && here < meter.high && here - meter.low < meter.margin;
}

// Units to charge beyond `units` so that what remains of the recursion limit
// below a level at `here` fits the room left on the thread's stack, at
// kRoomBytesPerUnit a unit. Code that this level calls without a level of its
// own (the interpreter's json on text inside a record, a callback) then meets
// the limit before the end of the stack, however high the limit was set.
FRAME_INLINE int units_beyond_room(const Meter& meter, std::uintptr_t here, int units) {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000 && !defined(USE_STACKCHECK)
    if (!meter.high || here < meter.low + meter.margin || here >= meter.high) return 0;
    const long long allowed =
        static_cast<long long>((here - meter.low - meter.margin) / kRoomBytesPerUnit);
    const long long remaining =
        static_cast<long long>(PyThreadState_Get()->recursion_remaining) - units;
    return remaining > allowed ? static_cast<int>(std::min<long long>(remaining - allowed, 1 << 30))
                               : 0;
#else
    (void)meter;
    (void)here;
    (void)units;
    return 0;
#endif
}

}  // namespace

StackCharge::StackCharge(const char* where) noexcept : guard_(units_due(), where) {
    if (out_of_stack_) {
        raise_recursion(where);
        return;
    }
    if (!guard_) return;
    meter_->units += units_;
    ++meter_->depth;
    entered_ = true;
}

StackCharge::~StackCharge() {
    meter_->last = saved_last_;
    if (!entered_) return;
    --meter_->depth;
    meter_->units -= units_;
}

int StackCharge::units_due() noexcept {
    volatile char probe = 0;  // its address marks how deep the C stack is here
    const auto here = reinterpret_cast<std::uintptr_t>(&probe);
    meter_ = &this_thread_meter;  // found once: a thread-local costs a call in a shared library
    Meter& meter = *meter_;
    saved_last_ = meter.last;
    meter.last = here;
    if (short_of_stack(meter, here)) {
        out_of_stack_ = true;
        return units_ = 0;
    }
    if (meter.depth == 0) {
        meter.base = here;
        meter.units = 0;
        units_ = 1;
        return units_ += units_beyond_room(meter, here, units_);
    }
    // What the levels above use plus one more step like the last, in units;
    // far more than any limit when the distance is not a real depth.
    const std::size_t bytes = distance(meter.base, here) + distance(saved_last_, here);
    const std::size_t due = bytes / kStackBytesPerUnit + 1;
    const std::size_t held = static_cast<std::size_t>(meter.units);
    constexpr std::size_t kMaxUnits = 1 << 30;
    units_ = due > held + 1 ? static_cast<int>(std::min(due - held, kMaxUnits)) : 1;
    return units_ += units_beyond_room(meter, here, units_);
}

}  // namespace frame
