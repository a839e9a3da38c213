"""Installing with pip into a fresh virtual environment, and the type stubs under mypy."""
import os
import pathlib
import subprocess
import sys
import venv

import pytest

import _tarvelon
import tarvelon

ROOT = pathlib.Path(__file__).resolve().parents[2]
PACKAGE_ROOT = pathlib.Path(tarvelon.__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "package_usage.py"
# Reusing the build that ctest runs in keeps the install quick; run through ctest for it.
BUILD_DIR = os.environ.get("TARVELON_BUILD_DIR")


def run(command, **kwargs):
    result = subprocess.run([str(c) for c in command], capture_output=True, text=True,
                            timeout=600, **kwargs)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


@pytest.mark.skipif(not BUILD_DIR, reason="needs the CMake build directory (run through ctest)")
def test_pip_installs_the_package_into_a_fresh_virtual_environment(tmp_path):
    env_dir = tmp_path / "venv"
    venv.create(env_dir, system_site_packages=True, with_pip=True)
    python = env_dir / "bin" / "python"
    run([python, "-m", "pip", "install", "--quiet", "--no-cache-dir", ROOT],
        env={**os.environ, "TARVELON_CMAKE_BUILD_DIR": BUILD_DIR}, cwd=tmp_path)

    # Run from outside the checkout and the build, so only the installed package can answer.
    environment = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    probe = ("import glob, importlib.metadata, os, _tarvelon, tarvelon\n"
             "from tarvelon import _native, _tarvelon as alias\n"
             "print(tarvelon.__file__)\n"
             "print(importlib.metadata.version('tarvelon'), _tarvelon.__version__)\n"
             "print(tarvelon.compile('|x: f64, n: i32| x * n@f64', 'f')(1.5, 4))\n"
             "print(alias is _tarvelon, _native.__file__ == _tarvelon.__file__)\n"
             "site = os.path.dirname(os.path.dirname(tarvelon.__file__))\n"
             "print(sorted(os.path.relpath(p, site) for p in glob.glob(site + '/**/*.so',"
             " recursive=True) if 'tarvelon' in p))\n")
    location, versions, value, same, libraries = run([python, "-c", probe], env=environment,
                                                     cwd=tmp_path).splitlines()
    assert location.startswith(str(env_dir))
    assert versions == f"{_tarvelon.__version__} {_tarvelon.__version__}"
    assert value == "6.0"
    # One library, at the top level, serves `_tarvelon`, its alias and the package's `_native`.
    assert same == "True True"
    assert libraries == repr([os.path.basename(_tarvelon.__file__)])

    (tmp_path / "k.tvl").write_text("|x: f64| x\n")
    out = run([env_dir / "bin" / "tarvelon", "emit", "--name", "ident", "k.tvl"],
              env=environment, cwd=tmp_path)
    assert out == _tarvelon.emit_python("|x: f64| x", "ident")

    # The installed package carries its stubs and py.typed, and `_tarvelon` its stub-only
    # package: mypy finds them from the programs.
    (tmp_path / "direct.py").write_text("import _tarvelon\n\n"
                                        "text: str = _tarvelon.emit_python('|| 1', 'one')\n")
    run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--python-executable", python, EXAMPLE, tmp_path / "direct.py"], env=environment,
        cwd=tmp_path)


def test_mypy_strict_accepts_the_package_and_an_example_program(tmp_path):
    run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         PACKAGE_ROOT / "tarvelon", EXAMPLE],
        env={**os.environ, "MYPYPATH": str(PACKAGE_ROOT)}, cwd=tmp_path)


def test_native_module_stubs_match_the_modules(tmp_path):
    (tmp_path / "mypy.ini").write_text("[mypy]\n")
    run([sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", tmp_path / "mypy.ini",
         "_tarvelon", "tarvelon._tarvelon", "tarvelon._native"],
        env={**os.environ, "MYPYPATH": str(PACKAGE_ROOT), "PYTHONPATH": str(PACKAGE_ROOT)},
        cwd=tmp_path)


def test_the_example_program_runs():
    out = run([sys.executable, EXAMPLE], env={**os.environ, "PYTHONPATH": str(PACKAGE_ROOT)})
    assert out.startswith("<tarvelon.Kernel gelu(x: f64) -> f64>\n")
