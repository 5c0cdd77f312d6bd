// The wet-cell flux loop compiled for AVX2 (see MomentumWet.cpp); called only where the
// processor has it.
#define VESTRA_WETFLUX_AVX2 1
#include "MomentumWet.cpp"
