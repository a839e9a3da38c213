// Kernel text to simplified infix text, unoptimized and optimized.
#include "fuzz_main.h"

TARVELON_FUZZ_TARGET(tarvelon::fuzz::check_simplify)
