"""A Python number argument is written straight into its parameter's storage: it must give the
bits the same number gives inside a list, which NumPy reads and casts."""
import sys

import numpy as np
import pytest

import tarvelon

nan, inf = float("nan"), float("inf")

# dtype: Python numbers to pass, at the edges of the dtype's range and rounding
NUMBERS = {
    "f32": [0.0, -0.0, 1.5, 0.1, 1e39, -1e39, 3.4028235677973366e38, 1e-46, 7e-46, nan, inf, -inf,
            True, False, 0, -7, 2**53 + 1, 2**64, 10**300],
    "bf16": [0.1, 1.00390625, 1.0039062500001, 3.39e38, 1e-41, nan, -inf, 2**24 + 1, True, 5],
    "f64": [0.1, -0.0, 5e-324, 1.7976931348623157e308, nan, 2**63 + 1, -(2**70) - 1, True],
    "f16": [0.1, 65519.0, 65520.0, 6e-8, 2.9e-8, nan, -0.0, 2049, False],
    "c64": [0.1, 1e39, 1 + 2j, complex(nan, 0.1), 3, True],
    "i8": [-128, 127, 0, True, False],
    "u8": [0, 255, True],
    "i16": [-(2**15), 2**15 - 1],
    "u16": [2**16 - 1],
    "i32": [-(2**31), 2**31 - 1, -1],
    "u32": [2**32 - 1, 0],
    "i64": [-(2**63), 2**63 - 1],
    "u64": [2**64 - 1, 2**63, 0, True],
    "bool": [True, False, 0, 1, 2, -5],
}


class Subfloat(float):
    pass


class Subint(int):
    pass


@pytest.mark.parametrize("dtype,number",
                         [(d, v) for d, vs in NUMBERS.items() for v in vs]
                         + [("f32", Subfloat(0.1)), ("i8", Subint(-3)), ("bool", Subint(0))])
def test_python_number_gives_the_bits_of_the_same_number_in_a_list(dtype, number):
    kernel = tarvelon.compile(f"|x: {dtype}| x", "k")
    alone = kernel(number)
    in_list = kernel([number])
    assert alone.dtype == in_list.dtype
    assert np.asarray(alone).tobytes() == in_list.tobytes(), (number, alone, in_list)


@pytest.mark.parametrize("number", [0.1, 3, True])
def test_python_number_broadcasts_against_an_array(number):
    kernel = tarvelon.compile("|x: f32, y: f32| x * y", "k")
    y = np.arange(5, dtype=np.float32)
    np.testing.assert_array_equal(kernel(number, y), np.float32(number) * y)
    np.testing.assert_array_equal(kernel(y, number), y * np.float32(number))


def test_python_number_holds_no_reference():
    kernel = tarvelon.compile("|x: f64| x", "k")
    number = 12345.678
    before = sys.getrefcount(number)
    for _ in range(100):
        kernel(number)
    assert sys.getrefcount(number) == before
