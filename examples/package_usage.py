"""Uses the tarvelon package: compiles the GELU kernel, calls it, and reports a broken kernel.

Run with the package installed (`python3 -m pip install .`):

    python3 examples/package_usage.py
"""
import pathlib
import sys

import tarvelon


def gelu_table(kernel: tarvelon.Kernel, points: list[float]) -> dict[float, float]:
    return {x: float(kernel(x)) for x in points}


def main() -> int:
    source = (pathlib.Path(__file__).parent / "gelu.tvl").read_text(encoding="utf-8")
    gelu = tarvelon.compile(source, "gelu")
    print(repr(gelu))
    params = ", ".join(f"{p.name}: {p.dtype}" for p in gelu.params)
    print(f"parameters {params}; result {gelu.dtype}")
    for x, y in gelu_table(gelu, [-1.0, 0.0, 0.75]).items():
        print(f"gelu({x}) = {y}")

    broken = "|x: f64|\ny = x * 2.0\ny + z\n"
    try:
        tarvelon.compile(broken)
    except tarvelon.KernelError as error:
        errors = [d for d in error.diagnostics if d.severity >= tarvelon.Severity.ERROR]
        first: tarvelon.Diagnostic = errors[0]
        print(f"{len(errors)} error(s), the first at line {first.line}, column {first.column}:")
        print(error.render("broken.tvl", min_severity=tarvelon.Severity.WARNING))
    notes = tarvelon.check(source)
    print(f"{len(notes)} note(s) in gelu.tvl")
    return 0


if __name__ == "__main__":
    sys.exit(main())
