"""Makes the freshly built extension importable and sets the hypothesis profiles."""
import os
import sys

from hypothesis import HealthCheck, settings

_module_dir = os.environ.get("TARVELON_MODULE_DIR")
if _module_dir:
    sys.path.insert(0, _module_dir)

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
