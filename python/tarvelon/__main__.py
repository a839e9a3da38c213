"""The command line: `python3 -m tarvelon emit|simplify|check FILE`.

Exit status: 0 on success, 1 when the kernel has errors, 2 on a usage error (including a FILE
that cannot be read as UTF-8 text).
"""
from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from typing import TextIO

from tarvelon import _kernel
from tarvelon._diagnostics import Diagnostic, KernelError, Severity, check
from tarvelon._tarvelon import __version__

EXIT_OK, EXIT_KERNEL_ERROR, EXIT_USAGE = 0, 1, 2


class _UsageError(Exception):
    pass


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tarvelon", description="Compile tarvelon kernels and report their diagnostics.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, summary: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=summary, description=summary)
        sub.add_argument("file", metavar="FILE", help="kernel source, or - for standard input")
        return sub

    emit = command("emit", "Print the Python function compiled from a kernel.")
    emit.add_argument("--name", default="_kernel", type=_function_name,
                      help="name of the emitted function (default: _kernel)")
    emit.add_argument("--optimize", action="store_true", help="optimize the kernel first")
    simplify = command("simplify", "Print the kernel's result as simplified infix text.")
    simplify.add_argument("--optimize", action="store_true", help="optimize the kernel first")
    command("check", "Print every diagnostic of a kernel, notes and warnings included.")
    return parser


def _function_name(text: str) -> str:
    try:
        _kernel.check_name(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return text


def _read(path: str) -> str:
    try:
        if path == "-":
            data = sys.stdin.buffer.read()
        else:
            with open(path, "rb") as f:
                data = f.read()
    except OSError as error:
        raise _UsageError(f"cannot read {path}: {error.strerror or error}") from None
    try:
        # Bytes, not text mode: spans are byte offsets into the file exactly as written.
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise _UsageError(f"cannot read {path}: not UTF-8 text ({error.reason} at byte "
                          f"{error.start})") from None


def _colored(stream: TextIO) -> bool:
    return bool(stream.isatty() and not os.environ.get("NO_COLOR"))


def _report(diagnostics: Sequence[Diagnostic], source: str, filename: str,
            stream: TextIO) -> None:
    if diagnostics:
        color = _colored(stream)
        print("\n\n".join(d.render(source, filename, color=color) for d in diagnostics),
              file=stream)


def _run(args: argparse.Namespace) -> int:
    source = _read(args.file)
    filename = "<stdin>" if args.file == "-" else args.file
    if args.command == "check":
        diagnostics = check(source)
        _report(diagnostics, source, filename, sys.stdout)
        failed = any(d.severity >= Severity.ERROR for d in diagnostics)
        return EXIT_KERNEL_ERROR if failed else EXIT_OK
    try:
        if args.command == "emit":
            output, diagnostics = _kernel.emit_reporting(source, args.name,
                                                         optimize=args.optimize)
        else:
            output, diagnostics = _kernel.simplify_reporting(source, optimize=args.optimize)
            output += "\n"
    except KernelError as error:
        print(error.render(filename, color=_colored(sys.stderr), min_severity=Severity.WARNING),
              file=sys.stderr)
        return EXIT_KERNEL_ERROR
    # Notes stay with `check`; a kernel that compiled still shows its warnings.
    warnings = [d for d in diagnostics if d.severity == Severity.WARNING]
    _report(warnings, source, filename, sys.stderr)
    sys.stdout.write(output)
    return EXIT_OK


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        return _run(args)
    except _UsageError as error:
        print(f"tarvelon: error: {error}", file=sys.stderr)
        return EXIT_USAGE


if __name__ == "__main__":
    sys.exit(main())
