"""Compiles every kernel in a directory to Python, without and with optimization, runs both
on the same arguments, and shows the result expression as simplify_expr renders it in both
modes.

Each kernel file (*.tvl) starts with a comment line "# args: ..." holding the Python literals
the compiled function is called with.
"""
import ast
import pathlib
import sys

import _tarvelon


def arguments(source):
    for line in source.splitlines():
        if line.startswith("# args:"):
            return ast.literal_eval("(" + line[len("# args:"):] + ",)")
    return ()


def side_by_side(left, right, titles=("unoptimized", "optimized")):
    left_lines, right_lines = left.splitlines(), right.splitlines()
    width = max(len(line) for line in left_lines + [titles[0]]) + 4
    rows = [titles[0].ljust(width) + titles[1]]
    for k in range(max(len(left_lines), len(right_lines))):
        a = left_lines[k] if k < len(left_lines) else ""
        b = right_lines[k] if k < len(right_lines) else ""
        rows.append((a.ljust(width) + b).rstrip())
    return "\n".join(rows)


def run(code, name, path, args):
    namespace = {}
    exec(compile(code, str(path), "exec"), namespace)
    return namespace[name](*args)


def main(directory):
    failures = 0
    for path in sorted(pathlib.Path(directory).glob("*.tvl")):
        source = path.read_text(encoding="utf-8")
        name = path.stem
        print(f"== {path.name}")
        try:
            code = _tarvelon.emit_python(source, name)
        except ValueError as error:
            print(f"error: {error}\n")
            failures += 1
            continue
        try:
            optimized = _tarvelon.emit_python(source, name, optimize=True)
        except ValueError as error:
            # Only single-result kernels can be optimized.
            optimized = f"({error})"
        print(side_by_side(code, optimized))
        args = arguments(source)
        shown = ", ".join(repr(a) for a in args)
        print(f"\n{name}({shown}) = {run(code, name, path, args)!r}")
        if not optimized.startswith("("):
            print(f"{name}({shown}) = {run(optimized, name, path, args)!r}   (optimized)")
        for label, optimize in (("simplified", False), ("simplified, optimized", True)):
            print(f"{label}: {simplified(source, optimize)}")
        print()
    return 1 if failures else 0


def simplified(source, optimize):
    """The rendered result expression, or the error that stands in its place (a tuple result has
    no single expression)."""
    try:
        return _tarvelon.simplify_expr(source, optimize=optimize)
    except ValueError as error:
        return f"({error})"


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent))
