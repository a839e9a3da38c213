"""A kernel called with Dask arrays gives lazy Dask arrays that compute, block by block, what the
call computes over the whole arrays; the documented Dask and xarray recipes run as written; a
cluster of worker processes computes what this process computes."""
import json
import os
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

import tarvelon
from typed_reference import same_values

da = pytest.importorskip("dask.array")


def computed(value):
    return tuple(v.compute() for v in value) if isinstance(value, tuple) else value.compute()


def local(value):
    return value.compute() if isinstance(value, da.Array) else value


def same(got, want):
    got, want = (got, want) if isinstance(want, tuple) else ((got,), (want,))
    kinds = {"c": "c128", "f": "f64"}
    return len(got) == len(want) and all(
        g.dtype == w.dtype and same_values(g, w, kinds.get(w.dtype.kind, "i64"))
        for g, w in zip(got, want))


X = np.linspace(-4, 4, 1000, dtype=np.float32)

# (kernel, positional arguments, keyword arguments): Dask arrays mixed with NumPy arrays, lists
# and numbers, broadcasting, tuple results.
CASES = {
    "a number for every block": ("|x: f32, y: f32| x * sigmoid(x) + y",
                                 [da.from_array(X, chunks=300), 0.5], {}),
    "arrays chunked differently": ("|x: f32, y: f32| x * y",
                                   [da.from_array(X, chunks=300), da.from_array(X, chunks=70)],
                                   {}),
    "a NumPy array beside a Dask one": ("|x: f32, y: f64| x@f64 - y",
                                        [da.from_array(X, chunks=128), np.arange(1000.0)], {}),
    "broadcasting across two dimensions": (
        "|x: f32, y: i32| x * y@f32",
        [da.from_array(X.reshape(1000, 1), chunks=(200, 1)),
         np.arange(-3, 4, dtype=np.int32)], {}),
    "a tuple kernel gives a tuple": ("|a: u8, b: u8| (a + b, a > b, a@f16)",
                                     [da.arange(300, chunks=64).astype(np.uint8),
                                      np.uint8(77)], {}),
    "keywords and a list": ("|x: f64, scale: f64| x * scale",
                            [], {"scale": [1.0, 2.0, 3.0],
                                 "x": da.ones((4, 3), chunks=(2, 3))}),
    "narrow floats travel in their storage": (
        "|h: f16, b: bf16| (h * h, b + 1.0)",
        [da.from_array(X.astype(np.float16), chunks=250), da.from_array(X, chunks=250)], {}),
}


@pytest.mark.parametrize("source,args,kwargs", CASES.values(), ids=CASES.keys())
def test_a_call_with_dask_arrays_is_lazy_and_computes_what_the_call_computes(source, args,
                                                                            kwargs):
    kernel = tarvelon.compile(source, "k")
    result = kernel(*args, **kwargs)
    lazy = result if isinstance(result, tuple) else (result,)
    assert all(isinstance(r, da.Array) for r in lazy)
    want = kernel(*map(local, args), **{k: local(v) for k, v in kwargs.items()})
    assert same(computed(result), want)


@pytest.mark.parametrize("args,kwargs,error,message", [
    ([da.ones(3, dtype=np.uint8), 300], {}, OverflowError,
     "k() argument 'b' (u8): 300 is out of range for u8"),
    ([da.ones(3), 1], {}, TypeError,
     "k() argument 'a' (u8): cannot cast float64 data to uint8 under the same_kind rule"),
    ([da.ones(3, dtype=np.uint8), 1], {"out": np.empty(3, np.uint8)}, TypeError,
     "k(): out= cannot take the result when an argument is a Dask array; the result is a new "
     "Dask array"),
    ([da.ones(3, dtype=np.uint8)], {}, TypeError, "k() missing required argument 'b'"),
    ([da.ones(3, dtype=np.uint8)], {"c": 1}, TypeError,
     "k() got an unexpected keyword argument 'c'"),
    ([da.ones(3, dtype=np.uint8), 1, 2], {}, TypeError,
     "k() takes 2 positional arguments but 3 were given"),
])
def test_arguments_are_checked_at_the_call_not_when_computing(args, kwargs, error, message):
    kernel = tarvelon.compile("|a: u8, b: u8| a * b", "k")
    with pytest.raises(error) as raised:
        kernel(*args, **kwargs)
    assert str(raised.value) == message


def test_a_call_without_dask_arrays_does_not_import_dask():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.environ.get("TARVELON_MODULE_DIR", "")
    script = ("import sys, numpy, tarvelon\n"
              "k = tarvelon.compile('|x: f64, y: f64| x + y', 'k')\n"
              "k(numpy.ones(3), 2.0); k(1.0, y=[1.0, 2.0]); k.ufunc(numpy.ones(2), 1.0)\n"
              "print(sorted(m for m in sys.modules if m.split('.')[0] in ('dask', 'xarray')))\n")
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                          text=True, timeout=60, check=True)
    assert done.stdout.strip() == "[]"


LANGUAGE = (pathlib.Path(__file__).resolve().parents[2] / "docs" / "language.md").read_text()
RECIPES = re.findall(r"```python\n(.*?)```",
                     LANGUAGE.partition("\n### Dask and xarray\n")[2].partition("\n## ")[0], re.S)


def test_the_documented_dask_and_xarray_recipes_run_as_written():
    pytest.importorskip("xarray")
    assert len(RECIPES) == 1
    names = {}
    exec(RECIPES[0], names)
    want = names["swish"](names["x"].compute())
    assert same(names["values"], want)
    assert same(names["same"].compute(), want)
    assert same(names["zvalues"], want)
    assert isinstance(names["labelled"].data, da.Array)
    assert same(names["labelled"].compute().values, want)


def test_the_ufunc_takes_dask_arrays_through_numpys_dispatch():
    kernel = tarvelon.compile("|x: f32, y: f32| x - y", "k")
    x = da.from_array(X, chunks=100)
    result = kernel.ufunc(x, np.float32(1))
    assert isinstance(result, da.Array)
    assert same(result.compute(scheduler="threads"), kernel(X, np.float32(1)))


# Starts a cluster of two worker processes of one thread each, computes a kernel over 10^7
# chunked elements there, and prints how that compares with the same kernel computed here.
CLUSTER = r"""
import json, os, sys
import numpy as np
import dask.array as da
import distributed
import tarvelon

kernel = tarvelon.compile("|x: f32, y: f32| (x * sigmoid(x) + y, x > y)", "clustered")
x = da.random.RandomState(5).random_sample(10**7, chunks=10**6).astype(np.float32) * 8 - 4
lazy = kernel(x, np.float32(0.5))
with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                              dashboard_address=None) as cluster:
    with distributed.Client(cluster) as client:
        workers = client.run(os.getpid)
        remote = client.compute(lazy, sync=True)
here = kernel(x.compute(scheduler="sync"), np.float32(0.5))
print(json.dumps({
    "worker processes": len(set(workers.values()) - {os.getpid()}),
    "same": [bool(np.array_equal(r, h)) for r, h in zip(remote, here)],
    "dtypes": [str(r.dtype) for r in remote],
}))
"""


def test_worker_processes_of_a_local_cluster_compute_what_this_process_computes():
    pytest.importorskip("distributed")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.environ.get("TARVELON_MODULE_DIR", "")
    done = subprocess.run([sys.executable, "-c", CLUSTER], env=env, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    assert json.loads(done.stdout.strip().splitlines()[-1]) == {
        "worker processes": 2, "same": [True, True], "dtypes": ["float32", "bool"]}
