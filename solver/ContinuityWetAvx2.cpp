// The mass loop compiled for AVX2 (see ContinuityWet.cpp); called only where the processor has it.
#define VESTRA_WETMASS_AVX2 1
#include "ContinuityWet.cpp"
