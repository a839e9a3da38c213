"""Without NumPy the package still compiles, checks, simplifies and emits; typed evaluation says
that it needs NumPy. With NumPy, importing and compiling load it only at the first typed use."""
import json
import os
import subprocess
import sys

import pytest

# Runs argv[1] with NumPy's import refused, or (argv[2] == "allowed") only watched, and prints
# what each step gave: its value's repr or its exception's type and text.
CHILD = r"""
import json, sys

class Refuse:
    def find_spec(self, name, path=None, target=None):
        if name == "numpy" or name.startswith("numpy."):
            raise ImportError("No module named 'numpy' (refused by the test)")
        return None

if sys.argv[2] == "refused":
    sys.meta_path.insert(0, Refuse())

outcomes = {}
def step(label, thunk):
    try:
        outcomes[label] = ["ok", repr(thunk())]
    except BaseException as error:
        outcomes[label] = [type(error).__name__, str(error)]
    outcomes[label].append("numpy" in sys.modules)

exec(sys.argv[1])
print(json.dumps(outcomes))
"""

STEPS = r"""
step("import", lambda: __import__("tarvelon").__name__)
import tarvelon
kernel = tarvelon.compile("|a: u8, b: u8| a + b", "k")
step("compile", lambda: kernel.dtype)
step("python", lambda: kernel.python(200, 100))
step("simplify", lambda: tarvelon.simplify("|x: f64| x * 1.0"))
step("emit", lambda: kernel.python_source.count("def k(a, b):"))
step("check", lambda: len(tarvelon.check("|x: f64| x + y")))
step("call", lambda: kernel(200, 100))
step("ufunc", lambda: kernel.ufunc)
"""


def outcomes(numpy):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.environ.get("TARVELON_MODULE_DIR", "")
    done = subprocess.run([sys.executable, "-c", CHILD, STEPS, numpy], env=env,
                          capture_output=True, text=True, timeout=120, check=True)
    return json.loads(done.stdout)


NEEDS_NUMPY = ("k(): typed evaluation needs NumPy, which cannot be imported; `.python` computes "
               "the kernel without it")


def test_without_numpy_everything_but_typed_evaluation_works():
    assert outcomes("refused") == {
        "import": ["ok", "'tarvelon'", False],
        "compile": ["ok", "'u8'", False],
        "python": ["ok", "300", False],
        "simplify": ["ok", "'x * 1'", False],
        "emit": ["ok", "1", False],
        "check": ["ok", "1", False],
        "call": ["ImportError", NEEDS_NUMPY, False],
        "ufunc": ["ImportError", NEEDS_NUMPY, False],
    }


def test_numpy_is_loaded_by_the_first_typed_use_only():
    got = outcomes("allowed")
    assert [got[label][2] for label in ("import", "compile", "python", "simplify", "emit",
                                        "check")] == [False] * 6
    assert got["call"] == ["ok", "44", True]


@pytest.mark.parametrize("command", [
    ["emit", "-"], ["simplify", "-"], ["check", "-"],
])
def test_the_command_line_works_without_numpy(command):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.environ.get("TARVELON_MODULE_DIR", "")
    script = ("import sys\n"
              "sys.modules['numpy'] = None\n"
              "import runpy\n"
              f"sys.argv = ['tarvelon', *{command!r}]\n"
              "runpy.run_module('tarvelon', run_name='__main__')\n")
    done = subprocess.run([sys.executable, "-c", script], input="|x: f64| x * 2.0", env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert "numpy" not in done.stderr.lower()
