// The running maxima compiled for AVX2 (see MomentumMaxima.cpp); called only where the
// processor has it.
#define VESTRA_MAXIMA_AVX2 1
#include "MomentumMaxima.cpp"
