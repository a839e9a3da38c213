"""Kernels of a given size in bytes, one per shape that stresses memory differently (long
chains, deep nesting, many lines, wide lists, text the compiler only skips), and a measure of
the memory a call takes. Shared by the memory tests and bench/memory_bench.py."""
import time

HEADER = "|x: f64| "


def deep_minus(n):
    return HEADER + "-" * (n - len(HEADER) - 1) + "x"


def plus_chain(n):
    return HEADER + "x" + " + x" * ((n - len(HEADER) - 1) // 4)


def deep_parens(n):
    k = (n - len(HEADER) - 1) // 2
    return HEADER + "(" * k + "x" + ")" * k


def assignments(n):
    lines = [HEADER.rstrip(), "t0 = x"]
    size = len(lines[0]) + len(lines[1]) + 2
    i = 1
    while size < n:
        lines.append(f"t{i} = t{i - 1} * 0.5 + x")
        size += len(lines[-1]) + 1
        i += 1
    lines.append(f"t{i - 1}")
    return "\n".join(lines)


def tuple_shape(n):
    return HEADER + "(x" + ", x" * ((n - len(HEADER) - 3) // 3) + ")"


def comments(n):
    line = "# a comment line that the statement layer blanks out\n"
    return HEADER + "x\n" + line * ((n - len(HEADER) - 2) // len(line))


def power_chain(n):
    return HEADER + "x" + " ** x" * ((n - len(HEADER) - 1) // 5)


def nested_calls(n):
    k = (n - len(HEADER) - 1) // 5
    return HEADER + "exp(" * k + "x" + ")" * k


def undefined_names(n):
    """One lowering error every four bytes: the diagnostics and the message grow with the text."""
    return "|| a" + " + a" * ((n - 4) // 4)


# The shapes the memory figures are stated for.
SHAPES = {
    "deep_minus": deep_minus,
    "plus_chain": plus_chain,
    "deep_parens": deep_parens,
    "assignments": assignments,
    "tuple": tuple_shape,
    "comments": comments,
}

# Further shapes for robustness: right-nested operators, nested calls, and error reporting.
MORE_SHAPES = {
    "power_chain": power_chain,
    "nested_calls": nested_calls,
    "undefined_names": undefined_names,
}

ALL_SHAPES = {**SHAPES, **MORE_SHAPES}


def _status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(field)


def measure(call):
    """Runs `call()`. Returns what it returned or the exception it raised, the peak resident
    memory in bytes it added to the process, and the CPU seconds it took (user and system: on a
    shared machine, waiting for a processor is not the compiler's time)."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets the peak resident set
    before = _status("VmRSS")
    start = time.process_time()
    try:
        result = call()
    except Exception as e:  # noqa: BLE001: the caller decides which outcomes are acceptable
        result = e
    seconds = time.process_time() - start
    return result, _status("VmHWM") - before, seconds
