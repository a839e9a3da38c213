"""The command line: `python3 -m tarvelon emit|simplify|check FILE`.

Exit status: 0 on success, 1 when the kernel has errors, 2 on a usage error (including a FILE
that cannot be read as UTF-8 text or is larger than 64 MiB), 3 when standard input, output or error cannot be used
(closed, full, or a pipe whose reader has gone), 130 when interrupted.
"""
from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from typing import IO, TextIO

from tarvelon import _kernel
from tarvelon._diagnostics import (DEFAULT_LIMIT, Diagnostic, KernelError, Severity,
                                   check_summary, escape, report)
from tarvelon._tarvelon import __version__

EXIT_OK, EXIT_KERNEL_ERROR, EXIT_USAGE, EXIT_IO, EXIT_INTERRUPTED = 0, 1, 2, 3, 130

_EPILOG = """exit status: 0 success, 1 the kernel has errors, 2 usage error (also an unreadable
FILE, or one over 64 MiB), 3 standard input, output or error unusable (closed, full, broken
pipe), 130 interrupted"""

# The largest kernel source read, FILE or standard input: far beyond any real kernel, and a
# bound for one that never ends (/dev/zero, a stream left open).
MAX_SOURCE_BYTES = 64 * 1024 * 1024


class _UsageError(Exception):
    pass


class _StreamError(Exception):
    """A standard stream that cannot be used; the message names it and why."""


class _Parser(argparse.ArgumentParser):
    """The argument parser, writing its help, usage and version text as the reports are
    written, so that an unusable stream ends the same way."""

    def _print_message(self, message: str, file: IO[str] | None = None) -> None:
        if message:
            _write("stdout" if file is sys.stdout else "stderr", message)


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="tarvelon", description="Compile tarvelon kernels and report their diagnostics.",
        epilog=_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, summary: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=summary, description=summary, epilog=_EPILOG,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.add_argument("file", metavar="FILE", help="kernel source, or - for standard input")
        sub.add_argument("--max-diagnostics", metavar="N", type=_count, default=DEFAULT_LIMIT,
                         help=f"show at most N diagnostics, 0 for all (default: {DEFAULT_LIMIT})")
        return sub

    emit = command("emit", "Print the Python function compiled from a kernel.")
    emit.add_argument("--name", default="_kernel", type=_function_name,
                      help="name of the emitted function (default: _kernel)")
    emit.add_argument("--optimize", action="store_true", help="optimize the kernel first")
    simplify = command("simplify", "Print the kernel's result as simplified infix text.")
    simplify.add_argument("--optimize", action="store_true", help="optimize the kernel first")
    command("check", "Print the diagnostics of a kernel, notes and warnings included.")
    return parser


def _function_name(text: str) -> str:
    try:
        _kernel.check_name(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return text


def _count(text: str) -> int:
    try:
        count = int(text)
    except ValueError:
        count = -1
    if count < 0:
        raise argparse.ArgumentTypeError(f"expected a count of 0 or more, got {text!r}")
    return count


def _read_stdin() -> bytes:
    stream = sys.stdin
    if stream is None:
        raise _StreamError("cannot read standard input: it is closed")
    try:
        # Bytes, not text mode: spans are byte offsets into the file exactly as written.
        buffer: IO[bytes] | None = getattr(stream, "buffer", None)
        if buffer is not None:
            return buffer.read(MAX_SOURCE_BYTES + 1)
        return stream.read(MAX_SOURCE_BYTES + 1).encode("utf-8")
    except (OSError, ValueError) as error:
        raise _StreamError(f"cannot read standard input: {_reason(error)}") from None


def _read(path: str) -> str:
    if path == "-":
        data = _read_stdin()
    else:
        try:
            with open(path, "rb") as f:
                data = f.read(MAX_SOURCE_BYTES + 1)
        except OSError as error:
            raise _UsageError(f"cannot read {path}: {error.strerror or error}") from None
    if len(data) > MAX_SOURCE_BYTES:
        raise _UsageError(f"cannot read {'standard input' if path == '-' else path}: larger than "
                          f"{MAX_SOURCE_BYTES >> 20} MiB, the limit for a kernel source")
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise _UsageError(f"cannot read {path}: not UTF-8 text ({error.reason} at byte "
                          f"{error.start})") from None


def _reason(error: Exception) -> str:
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error)


_STREAM_NAMES = {"stdout": "standard output", "stderr": "standard error"}


def _colored(which: str) -> bool:
    stream = getattr(sys, which)
    try:
        return bool(stream is not None and stream.isatty() and not os.environ.get("NO_COLOR"))
    except (OSError, ValueError):
        return False


def _write(which: str, text: str) -> None:
    """Writes `text` to sys.stdout or sys.stderr (`which`) and flushes it, so that a failure
    shows up here, as a _StreamError, rather than at the interpreter's exit."""
    stream: TextIO | None = getattr(sys, which)
    if stream is None:
        raise _StreamError(f"cannot write to {_STREAM_NAMES[which]}: it is closed")
    try:
        # Even an empty write reaches the device, and a full one refuses it.
        if text:
            stream.write(text)
        stream.flush()
    except (OSError, ValueError) as error:
        _discard(stream)
        raise _StreamError(f"cannot write to {_STREAM_NAMES[which]}: {_reason(error)}") from None


def _discard(stream: TextIO) -> None:
    """Points a failed stream's descriptor at the null device: the interpreter flushes the
    stream again at exit, and that second failure would print a traceback of its own."""
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(null, stream.fileno())
        finally:
            os.close(null)
    except (OSError, ValueError, AttributeError):
        pass


def _complain(message: str) -> None:
    """One line on standard error, if standard error can take it."""
    try:
        # A path given on the command line may hold control characters too.
        _write("stderr", f"tarvelon: error: {escape(message)}\n")
    except _StreamError:
        pass


def _report(diagnostics: Sequence[Diagnostic], source: str, filename: str, which: str,
            limit: int, total: int | None = None) -> None:
    if diagnostics:
        _write(which, report(diagnostics, source, filename, color=_colored(which), limit=limit,
                             total=total) + "\n")


def _run(args: argparse.Namespace) -> int:
    source = _read(args.file)
    filename = "<stdin>" if args.file == "-" else args.file
    limit = args.max_diagnostics
    if args.command == "check":
        summary = check_summary(source, limit)
        _report(summary.first, source, filename, "stdout", limit, summary.total)
        return EXIT_KERNEL_ERROR if summary.failed else EXIT_OK
    try:
        if args.command == "emit":
            output, diagnostics = _kernel.emit_reporting(source, args.name,
                                                         optimize=args.optimize)
        else:
            output, diagnostics = _kernel.simplify_reporting(source, optimize=args.optimize)
            output += "\n"
    except KernelError as error:
        _write("stderr", error.render(filename, color=_colored("stderr"),
                                      min_severity=Severity.WARNING, limit=limit) + "\n")
        return EXIT_KERNEL_ERROR
    # Notes stay with `check`; a kernel that compiled still shows its warnings. Standard error
    # failing to take them does not keep the output from standard output.
    warnings = [d for d in diagnostics if d.severity == Severity.WARNING]
    try:
        _report(warnings, source, filename, "stderr", limit)
    except _StreamError as error:
        _write("stdout", output)
        raise error
    _write("stdout", output)
    return EXIT_OK


def main(argv: Sequence[str] | None = None) -> int:
    try:
        return _run(_parser().parse_args(argv))
    except _UsageError as error:
        _complain(str(error))
        return EXIT_USAGE
    except _StreamError as error:
        _complain(str(error))
        return EXIT_IO
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED


if __name__ == "__main__":
    sys.exit(main())
