"""Makes the freshly built extension importable and sets the hypothesis profiles."""
import importlib.util
import os
import sys

from hypothesis import HealthCheck, settings

_module_dir = os.environ.get("TARVELON_MODULE_DIR")
if _module_dir:
    sys.path.insert(0, os.path.abspath(_module_dir))
elif (_found := importlib.util.find_spec("_tarvelon")) is not None and _found.origin:
    _module_dir = os.path.dirname(_found.origin)
# The tests that start interpreters of their own hand them this folder, which a relative
# PYTHONPATH given to pytest would not find from the child's working directory.
if _module_dir:
    os.environ["TARVELON_MODULE_DIR"] = os.path.abspath(_module_dir)

# CI must be reproducible: a fixed-seed profile there, a larger randomized one locally.
settings.register_profile(
    "ci", derandomize=True, max_examples=100, deadline=None,
    suppress_health_check=[HealthCheck.too_slow])
settings.register_profile(
    "sanitized", derandomize=True, max_examples=25, deadline=None,
    suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("dev", max_examples=500, deadline=None)

if os.environ.get("TARVELON_SANITIZED"):
    settings.load_profile("sanitized")
elif os.environ.get("CI"):
    settings.load_profile("ci")
else:
    settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "dev"))
