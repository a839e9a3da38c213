"""What the simplify_expr tests share: whether the optimizer is in the pipeline yet."""
import pytest

import _tarvelon


def _optimizer_missing():
    try:
        _tarvelon.simplify_expr("|x: f64| x", optimize=True)
    except ValueError as error:
        return str(error) == "optimization failed: optimization is not available yet"
    return False


needs_optimizer = pytest.mark.skipif(_optimizer_missing(),
                                     reason="the optimizer is not in the pipeline yet")
