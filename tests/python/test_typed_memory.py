"""Evaluating n elements takes the result, the converted inputs and a fixed working space per
node: a kernel of 30 nodes peaks no higher than one of 2, with no full-length temporary per node.
"""
import json
import os
import subprocess
import sys

import pytest

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("TARVELON_SANITIZED")),
    reason="resident-memory figures do not apply under AddressSanitizer")

N = 10**7

# Prints the growth of the resident high-water mark, in bytes, across one evaluation of the
# kernel of argv[1] nodes over N float64 values (inputs allocated and touched beforehand).
CHILD = r"""
import json, resource, sys
import numpy as np
import tarvelon

nodes, n = int(sys.argv[1]), int(sys.argv[2])
body = "x"
for k in range(nodes - 1):
    body = f"({body} * 1.0001 + y)" if k % 2 else f"tanh({body})"
kernel = tarvelon.compile(f"|x: f64, y: f64| {body}", "k")
x, y = np.full(n, 0.5), np.full(n, 0.25)
kernel(x[:1000], y[:1000])
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
kernel(x, y)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps((after - before) * 1024))
"""


def growth(nodes):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.environ.get("TARVELON_MODULE_DIR", "")
    done = subprocess.run([sys.executable, "-c", CHILD, str(nodes), str(N)], env=env,
                          capture_output=True, text=True, timeout=300, check=True)
    return json.loads(done.stdout)


def test_working_memory_does_not_grow_with_the_number_of_nodes():
    result = 8 * N
    small, large = growth(2), growth(30)
    # Both hold the result; a full-length temporary per node would add 28 results' worth.
    assert small <= result + 16 * 2**20
    assert large - small <= 16 * 2**20, (small, large)
