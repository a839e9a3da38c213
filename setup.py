"""Builds and installs the tarvelon package: `python3 -m pip install .` from a checkout.

The Python sources come from python/tarvelon; the native module `_tarvelon`, installed once at
the top level (the package loads its own `tarvelon._native` from the same file), is compiled by
the project's own CMake build, with the interpreter that runs this script. With TARVELON_CMAKE_BUILD_DIR set to an already configured build directory,
that build is brought up to date and used instead of a fresh one in build-pip/.

There is deliberately no pyproject.toml: with one, pip would build in an isolated environment
whose build tools it must download. Without it, pip uses the setuptools and wheel installed
beside it (Debian: python3-setuptools, python3-wheel) and needs no network.
"""
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent

# Each native module installed: the CMake target that builds it and the folder of the build tree
# it lands in.
NATIVE_MODULES = {
    "_tarvelon": ("_tarvelon", "python"),
}


class CMakeBuild(build_ext):
    def build_extensions(self):
        given = os.environ.get("TARVELON_CMAKE_BUILD_DIR")
        build = pathlib.Path(given) if given else pathlib.Path(self.build_temp).resolve() / "cmake"
        if not given:
            generator = ["-G", "Ninja"] if shutil.which("ninja") else []
            subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), *generator,
                            f"-DPython3_EXECUTABLE={sys.executable}",
                            "-DCMAKE_BUILD_TYPE=Release", "-DTARVELON_TESTS=OFF",
                            "-DTARVELON_BENCH=OFF"], check=True)
        targets = [target for target, _ in NATIVE_MODULES.values()]
        subprocess.run(["cmake", "--build", str(build), "--target", *targets], check=True)
        suffix = sysconfig.get_config_var("EXT_SUFFIX")
        for ext in self.extensions:
            _target, folder = NATIVE_MODULES[ext.name]
            built = build / folder / (ext.name.rpartition(".")[2] + suffix)
            if not built.is_file():
                # A build tree configured for another interpreter names its modules differently.
                sys.exit(f"error: {built} was not built; is {build} configured for "
                         f"{sys.executable}?")
            destination = pathlib.Path(self.get_ext_fullpath(ext.name))
            destination.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(built, destination)


setup(
    name="tarvelon",
    version="0.0.1",
    description="A compiler for a small typed language of scalar math kernels",
    python_requires=">=3.11",
    package_dir={"": "python"},
    # The stub-only package types `import _tarvelon` for checkers that find installed packages.
    packages=["tarvelon", "_tarvelon-stubs"],
    package_data={"tarvelon": ["py.typed", "*.pyi"], "_tarvelon-stubs": ["__init__.pyi"]},
    ext_modules=[Extension(name, sources=[]) for name in NATIVE_MODULES],
    cmdclass={"build_ext": CMakeBuild},
    entry_points={"console_scripts": ["tarvelon = tarvelon.__main__:main"]},
    options={"build": {"build_base": "build-pip"}, "egg_info": {"egg_base": "build-pip"}},
    zip_safe=False,
)
