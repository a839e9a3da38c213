"""The same kernels on the baseline x86-64 code and on the CPU's widest unit, on one thread and on
the worker pool: exact operations agree bit for bit, float builtins within their bounds. Each
configuration runs in a child process, since the environment is read once per process."""
import os
import subprocess
import sys

import numpy as np
import pytest

from typed_reference import special_values

N = 300_000  # long enough for the worker pool to share

# (kernel, parameter dtypes, allowed distance in ulps between two configurations: 0 where the
# result is exact; two results each within b ulps of the exact value lie within 2b of each other)
KERNELS = [
    ("|x: f32, y: f32| (x * y + x / y - y, sqrt(x))", ("f32", "f32"), 0),
    ("|x: f64, y: f64| (x * y + x / y - y, sqrt(x))", ("f64", "f64"), 0),
    ("|x: f16, y: f16| (x * y + x / y - y, sqrt(x))", ("f16", "f16"), 0),
    ("|x: bf16, y: bf16| (x * y + x / y - y, sqrt(x))", ("bf16", "bf16"), 0),
    ("|x: f32, y: i8| (x@i16 + y * y, x@f16, x@bf16, y@f32 * x)", ("f32", "i8"), 0),
    ("|x: f64| (x@f32, x@i64, x@u8)", ("f64",), 0),
    ("|x: f32, y: f32| (if x < y then x else y, x == y, x != y, x <= y, x > y, x >= y,"
     " if x > 0.0@f32 then x else 0.0@f32)", ("f32", "f32"), 0),
    ("|x: f64, y: f64| (if x < y then x else y, x == y, x != y, x <= y, x > y, x >= y,"
     " if x > 0.0 then x else 0.0)", ("f64", "f64"), 0),
    # arithmetic computed as trees, with values kept aside and a tree split at its slots
    ("|x: f32, y: f32, z: f32| (((x + y) * (y - z)) / (z * x - x / y) - -(0.5@f32 * x * x * x),"
     " ((x * y - z) * (y + z)) / (((x - y) * (y / z)) + ((z + x) * (x - 1.0@f32))))",
     ("f32", "f32", "f32"), 0),
    ("|x: f64, y: f64, z: f64| (((x + y) * (y - z)) / (z * x - x / y) - -(0.5 * x * x * x),"
     " ((x * y - z) * (y + z)) / (((x - y) * (y / z)) + ((z + x) * (x - 1.0))))",
     ("f64", "f64", "f64"), 0),
    ("|x: f32| (exp(x), log(x), sin(x), cos(x), tanh(x))", ("f32",), 2),
    ("|x: f64| (exp(x), log(x), sin(x), cos(x), tanh(x))", ("f64",), 2),
    ("|x: f32| (sigmoid(x), softplus(x), x * sigmoid(x))", ("f32",), 4),
    # a product with a builtin nothing else reads: one kernel on the wide units
    ("|x: f32| (x * sigmoid(x), x + 1.0@f32)", ("f32",), 4),
    ("|x: f64| (tanh(x) * x, x + 1.0)", ("f64",), 4),
    # sigmoid and softplus within 0.76 ulp each on every unit
    ("|x: f64| (sigmoid(x), softplus(x))", ("f64",), 2),
    ("|x: f16| (exp(x), tanh(x), sigmoid(x), softplus(x))", ("f16",), 2),
    ("|x: bf16| (log(x), sin(x), cos(x), sigmoid(x), softplus(x))", ("bf16",), 2),
]

STORAGE = {"f16": np.float16, "bf16": np.float32, "f32": np.float32, "f64": np.float64,
           "i8": np.int8}


def inputs(d, seed):
    """Special values, then a sweep over many binades with both signs."""
    rng = np.random.default_rng(seed)
    with np.errstate(over="ignore"):
        special = np.asarray(special_values(d), dtype=STORAGE[d])
    if d == "i8":
        return np.concatenate([special, rng.integers(-128, 128, N - len(special))]).astype(np.int8)
    top = {"f16": 15, "bf16": 100, "f32": 100, "f64": 600}[d]
    sweep = rng.choice([-1.0, 1.0], N) * np.exp2(rng.uniform(-top, top, N))
    return np.concatenate([special, sweep[: N - len(special)]]).astype(STORAGE[d])


CHILD = """
import sys, numpy as np, tarvelon
sys.path.insert(0, {tests!r})
from test_typed_dispatch import KERNELS, inputs
results = {{}}
for k, (source, dtypes, _) in enumerate(KERNELS):
    args = [inputs(d, seed) for seed, d in enumerate(dtypes)]
    for j, r in enumerate(tarvelon.compile(source, "k")(*args)):
        results[f"{{k}}_{{j}}"] = r
np.savez(sys.argv[1], **results)
"""


def child_env(**env):
    """This environment with only the given evaluator settings, and the built module importable."""
    full = {k: v for k, v in os.environ.items() if k not in ("TARVELON_CPU", "TARVELON_NUM_THREADS")}
    paths = [os.environ.get("TARVELON_MODULE_DIR", ""), os.environ.get("PYTHONPATH", "")]
    full["PYTHONPATH"] = os.pathsep.join(p for p in paths if p)
    return {**full, **env}


def run_child(tmp_path, name, **env):
    path = tmp_path / f"{name}.npz"
    script = CHILD.format(tests=os.path.dirname(os.path.abspath(__file__)))
    done = subprocess.run([sys.executable, "-c", script, str(path)], env=child_env(**env),
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return np.load(path)


def ulp_distance(a, b):
    """Steps between two floats of one dtype through the ordered bit patterns; NaNs agree."""
    bits = {2: np.int16, 4: np.int32, 8: np.int64}[a.dtype.itemsize]
    def ordered(v):
        i = v.view(bits).astype(np.int64)
        return np.where(i < 0, np.iinfo(bits).min - i, i)
    both_nan = np.isnan(a) & np.isnan(b)
    return np.where(both_nan, 0, np.abs(ordered(a) - ordered(b)))


@pytest.fixture(scope="module")
def configurations(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("dispatch")
    return {
        "widest, pool": run_child(tmp, "wide"),
        "widest, 1 thread": run_child(tmp, "one", TARVELON_NUM_THREADS="1"),
        "widest, 3 threads": run_child(tmp, "three", TARVELON_NUM_THREADS="3"),
        "baseline, pool": run_child(tmp, "base", TARVELON_CPU="baseline"),
    }


def test_the_thread_count_never_changes_a_bit(configurations):
    pooled = configurations["widest, pool"]
    for name in ("widest, 1 thread", "widest, 3 threads"):
        other = configurations[name]
        for key in pooled.files:
            assert pooled[key].tobytes() == other[key].tobytes(), (name, key)


@pytest.mark.parametrize("k", range(len(KERNELS)))
def test_the_baseline_agrees_with_the_widest_unit(configurations, k):
    source, _, allowed = KERNELS[k]
    wide, base = configurations["widest, pool"], configurations["baseline, pool"]
    for key in [f for f in wide.files if f.startswith(f"{k}_")]:
        a, b = wide[key], base[key]
        if allowed == 0 or a.dtype.kind != "f":
            assert a.tobytes() == b.tobytes(), (source, key)
        else:
            far = ulp_distance(a, b) > allowed
            assert not far.any(), (source, key, a[far][:5], b[far][:5])


@pytest.mark.parametrize("env", [{}, {"TARVELON_NUM_THREADS": "2"}])
def test_a_forked_child_computes_on_a_pool_of_its_own(env):
    script = """
import os, numpy as np, tarvelon
k = tarvelon.compile("|x: f32| x * sigmoid(x)", "k")
x = np.linspace(-5, 5, 10**6, dtype=np.float32)
want = k(x)
pid = os.fork()
if pid == 0:
    os._exit(0 if np.array_equal(k(x), want) else 3)
_, status = os.waitpid(pid, 0)
assert os.waitstatus_to_exitcode(status) == 0, status
assert np.array_equal(k(x), want)
"""
    done = subprocess.run([sys.executable, "-c", script], env=child_env(**env),
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr


def test_the_interpreter_exits_while_a_daemon_thread_computes():
    script = """
import threading, time, numpy as np, tarvelon
body = "x"
for _ in range(50):
    body = f"sin({body})"
k = tarvelon.compile(f"|x: f32| {body}", "k")
x = np.ones(4 * 10**6, np.float32)
threading.Thread(target=lambda: [k(x) for _ in range(100)], daemon=True).start()
time.sleep(0.2)
"""
    done = subprocess.run([sys.executable, "-c", script], env=child_env(), capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0, done.stderr


# name -> (arguments, out) for |x: f32, y: f32| x * y + sigmoid(x) from two float32 arrays: a
# call computes without NumPy's iterator only when its operands are already what the evaluator
# reads, and every other layout must give the same values.
def _overlapping_out(x, y):
    """x, and an output that starts one element into x's own memory."""
    buffer = np.empty(len(x) + 1, x.dtype)
    buffer[:-1] = x
    return (buffer[:-1], y), buffer[1:]


def _aliased_out(x, y):
    x = x.copy()
    return (x, y), x


LAYOUTS = {
    "contiguous": lambda x, y: ((x, y), None),
    "scalar and array": lambda x, y: ((np.float32(1.5), y), None),
    "0-d and array": lambda x, y: ((np.array(1.5, np.float32), y), None),
    "both 0-d": lambda x, y: ((np.array(x[3]), np.array(y[3])), None),
    "two dimensions": lambda x, y: ((x.reshape(40, -1), y.reshape(40, -1)), None),
    "Fortran order": lambda x, y: ((np.asfortranarray(x.reshape(40, -1)),
                                    np.asfortranarray(y.reshape(40, -1))), None),
    "reversed": lambda x, y: ((x[::-1], y), None),
    "swapped bytes": lambda x, y: ((x.astype(">f4"), y), None),
    "wider dtype": lambda x, y: ((x.astype(np.float64), y), None),
    "out is x": _aliased_out,
    "out overlaps x": _overlapping_out,
}


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
def test_every_layout_computes_what_contiguous_arrays_do(layout):
    import tarvelon
    kernel = tarvelon.compile("|x: f32, y: f32| x * y + sigmoid(x)", "k")
    rng = np.random.default_rng(7)
    x = (rng.random(80_000) * 8 - 4).astype(np.float32)
    y = (rng.random(80_000) * 8 - 4).astype(np.float32)
    args, out = LAYOUTS[layout](x, y)
    shape = np.broadcast_shapes(*[np.shape(a) for a in args])
    plain = [np.ascontiguousarray(np.broadcast_to(np.asarray(a, np.float32), shape))
             for a in args]
    want = kernel(*plain)
    got = kernel(*args) if out is None else kernel(*args, out=out)
    if out is not None:
        assert got is out
    assert np.asarray(got).tobytes() == np.asarray(want).tobytes(), layout
