// Kernel text to emitted Python, unoptimized and optimized.
#include "fuzz_main.h"

TARVELON_FUZZ_TARGET(tarvelon::fuzz::check_kernel)
