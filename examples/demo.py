"""Compiles every kernel in a directory to Python, runs it once and shows its result
expression as simplify_expr renders it, without and with the optimizer.

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
        print(code)
        namespace = {}
        exec(compile(code, str(path), "exec"), namespace)
        args = arguments(source)
        result = namespace[name](*args)
        shown = ", ".join(repr(a) for a in args)
        print(f"{name}({shown}) = {result!r}")
        for label, optimize in (("simplified", False), ("optimized", True)):
            print(f"{label}: {simplified(source, optimize)}")
        print()
    return 1 if failures else 0


def simplified(source, optimize):
    """The rendered result expression, or the error that stands in its place (a tuple result has
    no single expression; the optimizer may not be in the pipeline yet)."""
    try:
        return _tarvelon.simplify_expr(source, optimize=optimize)
    except ValueError as error:
        return f"({error})"


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent))
