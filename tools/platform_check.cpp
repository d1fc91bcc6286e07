// Checks src/pycore/platform.cpp alone, built for one target with that target's compiler and run
// there (natively, under qemu-user or under wine): the stack bounds read on the main thread and
// on a std::thread contain the running frame, the guard's floor lies inside them, and the
// plain C++ overflow checks agree with wider arithmetic. Prints one line; exits 1 on a failure.
#include "../src/pycore/platform.hpp"

#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>

namespace {

using namespace pycore::platform;

int failures = 0;

void expect(bool ok, const std::string& what) {
    if (!ok) {
        std::printf("FAILED: %s\n", what.c_str());
        ++failures;
    }
}

// The stack as the guard sees it from a frame of its own, with the frame's address.
struct Reading {
    int rc = -1;
    ThreadStack stack;
    std::uintptr_t frame = 0;
};

PYCORE_NOINLINE Reading read_here() {
    Reading r;
    r.rc = read_thread_stack(r.stack);
    r.frame = frame_address();
    return r;
}

// What each thread's reading gives; the size in KiB, or 0 without bounds.
std::size_t check_thread(const char* name) {
    const Reading r = read_here();
    const std::string where = std::string(name) + " thread: ";
    if (!has_stack_bounds) {
        expect(r.rc == ENOSYS, where + "a build without bounds reads none, rc " + std::to_string(r.rc));
        return 0;
    }
    expect(r.rc == 0, where + "bounds read, rc " + std::to_string(r.rc));
    if (r.rc != 0)
        return 0;
    expect(r.stack.low < r.frame && r.frame < r.stack.high, where + "the frame lies inside the bounds");
    const std::uintptr_t floor = stack_floor(r.stack);
    expect(r.stack.low < floor && floor < r.frame, where + "the floor lies between the bottom and the frame");
    return (r.stack.high - r.stack.low) / 1024;
}

void check_floor() {
    constexpr std::uintptr_t low = 1 << 20;
    const auto margin = [](std::size_t size) { return stack_floor(ThreadStack{low, low + size}) - low; };
    // A quarter of the stack, never less than the way out nor more than the largest margin.
    expect(margin(256 * 1024) == 64 * 1024, "a quarter of a 256 KiB stack");
    expect(margin(32 * 1024) == way_out, "the way out on the least stack");
    expect(margin(8 * 1024) == way_out, "the way out on a stack smaller than it");
    expect(margin(8 * 1024 * 1024) == largest_margin, "the largest margin on an 8 MiB stack");
}

// The plain C++ overflow checks (the builtins' stand-in for other compilers) against exact
// 128-bit results, where the compiler has them.
void check_arithmetic() {
#if defined(__SIZEOF_INT128__)
    constexpr long long max = std::numeric_limits<long long>::max(), min = std::numeric_limits<long long>::min();
    const long long values[] = {0, 1, -1, 2, -2, 20, -20, 3037000499LL, -3037000500LL, max / 20, min / 20,
                                max / 20 + 1, min / 20 - 1, max - 1, min + 1, max, min};
    for (long long a : values) {
        for (long long b : values) {
            const std::string operands = std::to_string(a) + " and " + std::to_string(b);
            const __int128 sum = static_cast<__int128>(a) + b, product = static_cast<__int128>(a) * b;
            long long result = 0;
            const bool sum_over = portable::add_overflows(a, b, &result);
            expect(sum_over == (sum < min || sum > max) && (sum_over || result == sum), "the sum of " + operands);
            const bool product_over = portable::mul_overflows(a, b, &result);
            expect(product_over == (product < min || product > max) && (product_over || result == product),
                   "the product of " + operands);
        }
    }
#endif
}

}  // namespace

int main() {
    const std::size_t main_kib = check_thread("main");
    std::size_t other_kib = 0;
    std::thread other([&] { other_kib = check_thread("another"); });
    other.join();
    check_floor();
    check_arithmetic();
    std::printf("%s: stack bounds %s, main thread %zu KiB, another thread %zu KiB\n", failures ? "failed" : "ok",
                has_stack_bounds ? "read" : "none (counted nesting)", main_kib, other_kib);
    return failures ? 1 : 0;
}
