#pragma once
// What the processor offers, asked once: the kernels with a second AVX2 build choose it at run time.

namespace cells {

inline bool ProcessorHasAvx2() {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    static const bool available = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return available;
#else
    return false;
#endif
}

}  // namespace cells
