// The engine's s-expression and pattern reader, and matching a pattern against its instance.
#include "fuzz_main.h"

TARVELON_FUZZ_TARGET(tarvelon::fuzz::check_pattern)
