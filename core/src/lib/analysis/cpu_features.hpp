// What the processor offers beyond the instructions the library is built for,
// for the few loops that pick a wider path at run time.
#ifndef SKARN_ANALYSIS_CPU_FEATURES_HPP
#define SKARN_ANALYSIS_CPU_FEATURES_HPP

namespace skarn {

#if defined(__SSE2__) && defined(__x86_64__)
// Whether AVX2 instructions may run. Asked once; the processor's description
// is made ready first, as the first call may come before the runtime's own
// initialisers have run.
inline bool cpu_has_avx2() noexcept {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has;
}
#endif

}  // namespace skarn

#endif  // SKARN_ANALYSIS_CPU_FEATURES_HPP
