"""Peak memory per source byte and time per MB on large kernels of each shape.

Usage: PYTHONPATH=build/python /usr/bin/python3 bench/memory_bench.py
           [--sizes 1,10,100] [--shapes deep_minus,plus_chain,...] [--repeat 3] [--cap-gb 12]

Each run happens in a fresh child process, under an address-space cap, so that a run needing
more memory than the machine can spare ends in MemoryError instead of the out-of-memory killer.
Peak is the child's peak resident set during the call (VmHWM, reset once the source is built)
minus its resident set before the call, per byte of source; time is wall-clock per MB of source.
Each figure is the median over the repeats. Every entry point the module has is measured, with
and without `optimize`.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys

MB = 1_000_000
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


SHAPES = {
    "deep_minus": deep_minus,
    "plus_chain": plus_chain,
    "deep_parens": deep_parens,
    "assignments": assignments,
    "tuple": tuple_shape,
    "comments": comments,
}

CHILD = r"""
import json, sys, time
import _tarvelon
from memory_bench import SHAPES

def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024

shape, size, entry, optimize = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4] == "1"
source = SHAPES[shape](size)
fn = getattr(_tarvelon, entry)
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # resets the peak resident set
before = status("VmRSS")
start = time.perf_counter()
try:
    result = fn(source, optimize=optimize)
    outcome = "ok"
except MemoryError:
    outcome = "MemoryError"
except (ValueError, NotImplementedError) as e:
    outcome = type(e).__name__ + ": " + str(e)[:60]
seconds = time.perf_counter() - start
peak = status("VmHWM")
print(json.dumps({"bytes": len(source), "peak": peak - before, "seconds": seconds,
                  "outcome": outcome}))
"""


def measure(shape, size, entry, optimize, cap, module_dir):
    here = os.path.dirname(os.path.abspath(__file__))
    cmd = ["prlimit", f"--as={cap}", sys.executable, "-c", CHILD, shape, str(size), entry,
           "1" if optimize else "0"]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in (module_dir, here) if p))
    done = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if done.returncode != 0:
        return {"outcome": f"exit {done.returncode}: {done.stderr.strip()[-80:]}"}
    return json.loads(done.stdout)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", default="1,10,100", help="source sizes in MB")
    ap.add_argument("--shapes", default=",".join(SHAPES))
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--cap-gb", type=float, default=12.0, help="address-space cap per run")
    ap.add_argument("--module-dir", default=os.environ.get("TARVELON_MODULE_DIR", ""))
    args = ap.parse_args()
    module_dir = args.module_dir or os.environ.get("PYTHONPATH", "")
    sys.path.insert(0, module_dir)
    import _tarvelon

    entries = [(e, o) for e in ("emit_python", "simplify_expr") if hasattr(_tarvelon, e)
               for o in (False, True)]
    cap = int(args.cap_gb * 1e9)
    print(f"{'shape':<12}{'MB':>5}  {'entry':<22}{'bytes/byte':>11}{'s/MB':>9}  outcome")
    for shape in args.shapes.split(","):
        for size_mb in (int(s) for s in args.sizes.split(",")):
            for entry, optimize in entries:
                runs = [measure(shape, size_mb * MB, entry, optimize, cap, module_dir)
                        for _ in range(args.repeat)]
                ok = [r for r in runs if "peak" in r]
                label = entry + (" opt" if optimize else "")
                if not ok:
                    print(f"{shape:<12}{size_mb:>5}  {label:<22}{'-':>11}{'-':>9}  "
                          f"{runs[0]['outcome']}", flush=True)
                    continue
                per_byte = statistics.median(r["peak"] / r["bytes"] for r in ok)
                per_mb = statistics.median(r["seconds"] / (r["bytes"] / MB) for r in ok)
                print(f"{shape:<12}{size_mb:>5}  {label:<22}{per_byte:>11.1f}{per_mb:>9.3f}  "
                      f"{ok[0]['outcome']}", flush=True)


if __name__ == "__main__":
    main()
