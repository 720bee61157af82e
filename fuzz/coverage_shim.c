// Edge coverage of the extension for atheris' libFuzzer when g++ builds it (clang cannot build
// the engine's sources against libstdc++): g++'s -fsanitize-coverage=trace-pc calls
// __sanitizer_cov_trace_pc at every basic block (linked with --wrap, as libFuzzer holds a stub of
// that name that refuses it), which is counted here by the address it was
// called from, in counters that libFuzzer reads as it reads clang's inline ones. Preloaded
// after the runtime that holds libFuzzer.

#include <stddef.h>
#include <stdint.h>

enum { slots = 1 << 16 };
static unsigned char counters[slots];
static uintptr_t pcs[2 * slots];  // libFuzzer wants a table of (pc, flags) beside the counters

void __sanitizer_cov_8bit_counters_init(unsigned char* start, unsigned char* stop);
void __sanitizer_cov_pcs_init(const uintptr_t* start, const uintptr_t* stop);

__attribute__((constructor)) static void registered(void) {
    for (size_t i = 0; i < slots; ++i) pcs[2 * i] = i + 1;
    __sanitizer_cov_8bit_counters_init(counters, counters + slots);
    __sanitizer_cov_pcs_init(pcs, pcs + 2 * slots);
}

void __wrap___sanitizer_cov_trace_pc(void) {
    uintptr_t pc = (uintptr_t)__builtin_return_address(0);
    counters[(pc ^ (pc >> 16)) & (slots - 1)]++;
}

// g++ also reports comparisons of floats, which libFuzzer does not take.
void __sanitizer_cov_trace_cmpf(float a, float b) {
    (void)a, (void)b;
}
void __sanitizer_cov_trace_cmpd(double a, double b) {
    (void)a, (void)b;
}
