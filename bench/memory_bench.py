"""Peak memory per source byte and time per MB on large kernels of each shape.

Usage: /usr/bin/python3 bench/memory_bench.py --module-dir build/python
           [--sizes 1,10,100] [--shapes deep_minus,plus_chain,...] [--repeat 3] [--cap-gb 12]

Each run happens in a fresh child process, under an address-space cap, so that a run needing
more memory than the machine can spare ends in MemoryError instead of the out-of-memory killer.
Peak is the child's peak resident set during the call (VmHWM, reset once the source is built)
minus its resident set before the call, per byte of source; time is the call's CPU time (user
and system, so that waiting for a processor on a shared machine does not count) per MB.
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
TESTS_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests",
                         "python")
sys.path.insert(0, TESTS_DIR)
from large_kernels import ALL_SHAPES, SHAPES  # noqa: E402

CHILD = r"""
import json, sys
import _tarvelon
from large_kernels import ALL_SHAPES, measure

shape, size, entry, optimize = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4] == "1"
source = ALL_SHAPES[shape](size)
fn = getattr(_tarvelon, entry)
result, peak, seconds = measure(lambda: fn(source, optimize=optimize))
outcome = "ok" if isinstance(result, str) else f"{type(result).__name__}: {str(result)[:60]}"
print(json.dumps({"bytes": len(source), "peak": peak, "seconds": seconds, "outcome": outcome}))
"""


def run(shape, size, entry, optimize, cap, module_dir):
    cmd = ["prlimit", f"--as={cap}", sys.executable, "-c", CHILD, shape, str(size), entry,
           "1" if optimize else "0"]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in (module_dir, TESTS_DIR) if p))
    done = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if done.returncode != 0:
        return {"outcome": f"exit {done.returncode}: {done.stderr.strip()[-80:]}"}
    return json.loads(done.stdout)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", default="1,10,100", help="source sizes in MB")
    ap.add_argument("--shapes", default=",".join(SHAPES),
                    help="any of: " + ", ".join(ALL_SHAPES))
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
    print(f"{'shape':<16}{'MB':>5}  {'entry':<22}{'bytes/byte':>11}{'cpu s/MB':>9}  outcome")
    for shape in args.shapes.split(","):
        for size_mb in (int(s) for s in args.sizes.split(",")):
            for entry, optimize in entries:
                runs = [run(shape, size_mb * MB, entry, optimize, cap, module_dir)
                        for _ in range(args.repeat)]
                ok = [r for r in runs if "peak" in r]
                label = entry + (" opt" if optimize else "")
                if not ok:
                    print(f"{shape:<16}{size_mb:>5}  {label:<22}{'-':>11}{'-':>9}  "
                          f"{runs[0]['outcome']}", flush=True)
                    continue
                per_byte = statistics.median(r["peak"] / r["bytes"] for r in ok)
                per_mb = statistics.median(r["seconds"] / (r["bytes"] / MB) for r in ok)
                print(f"{shape:<16}{size_mb:>5}  {label:<22}{per_byte:>11.1f}{per_mb:>9.3f}  "
                      f"{ok[0]['outcome']}", flush=True)


if __name__ == "__main__":
    main()
