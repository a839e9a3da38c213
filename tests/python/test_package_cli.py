"""The command line `python3 -m tarvelon`: outputs and exit codes on good, bad and unreadable
files, and colour only on a terminal."""
import contextlib
import os
import pathlib
import pty
import re
import subprocess
import sys

import pytest

import _tarvelon
import tarvelon

PACKAGE_ROOT = str(pathlib.Path(tarvelon.__file__).resolve().parent.parent)

GOOD = "|x: f64, n: i32|\ny = x * 2.0\ny + n@f64\n"
WARNS = "|x: f64|\nx@f32@i64\n"
BAD = "|x: f64|  # ✓\ny = x@f32@i64\nz\n"
UNDEFINED_Z = (
    "error[UndefinedVariable]: undefined variable `z`\n"
    " --> k.tvl:3:1\n"
    "  |\n"
    "3 | z\n"
    "  | ^\n"
    "  = hint: ensure the variable is defined as a parameter or let-binding before use\n")
REDUNDANT_CAST = (
    "warning[RedundantCast]: multiple sequential casts: f32 -> i64; consider casting directly "
    "to i64\n"
    " --> k.tvl:{line}:{column}\n"
    "  |\n"
    "{line} | {text}\n"
    "  | {pad}^^^^^^^^^\n"
    "  = hint: simplify to a single `expr@dtype` unless the intermediate cast is required\n")


def run(args, stdin=b"", cwd=None, env=None, **kwargs):
    environment = {**os.environ, "PYTHONPATH": PACKAGE_ROOT, **(env or {})}
    return subprocess.run([sys.executable, "-m", "tarvelon", *args], input=stdin, cwd=cwd,
                          env=environment, capture_output=True, timeout=60, **kwargs)


def redundant_cast(line, column, text):
    return REDUNDANT_CAST.format(line=line, column=column, text=text, pad=" " * (column - 1))


CASES = [
    (["emit", "k.tvl"], GOOD, 0, _tarvelon.emit_python(GOOD), ""),
    (["emit", "--name", "scale", "k.tvl"], GOOD, 0, _tarvelon.emit_python(GOOD, "scale"), ""),
    # A kernel that compiles still shows its warnings, but not its notes.
    (["emit", "k.tvl"], WARNS, 0, _tarvelon.emit_python(WARNS), redundant_cast(2, 1, "x@f32@i64")),
    (["emit", "k.tvl"], BAD, 1, "",
     UNDEFINED_Z + "\n" + redundant_cast(2, 5, "y = x@f32@i64")),
    (["check", "k.tvl"], BAD, 1, UNDEFINED_Z + "\n" + redundant_cast(2, 5, "y = x@f32@i64"), ""),
    (["check", "k.tvl"], "|x: f64, y: f64| x + y", 0, "", ""),
    (["check", "k.tvl"], "|x: f64| x * 2", 0,
     "note[ImplicitPromotion]: implicit promotion in *: f64 + i8 -> f64\n"
     " --> k.tvl:1:10\n"
     "  |\n"
     "1 | |x: f64| x * 2\n"
     "  |          ^^^^^\n"
     "  |          - left operand (f64)\n"
     "  |              - right operand (i8)\n"
     "  = hint: cast the right operand from i8 to f64 using `@f64`\n", ""),
]


@pytest.mark.parametrize("args,source,status,stdout,stderr", CASES)
def test_commands_on_files(tmp_path, args, source, status, stdout, stderr):
    (tmp_path / "k.tvl").write_text(source, encoding="utf-8")
    result = run(args, cwd=tmp_path)
    assert (result.returncode, result.stdout.decode(), result.stderr.decode()) == (
        status, stdout, stderr)


def test_a_dash_reads_standard_input():
    result = run(["check", "-"], stdin=BAD.encode())
    assert result.returncode == 1
    assert result.stdout.decode().startswith(UNDEFINED_Z.replace("k.tvl", "<stdin>"))


@pytest.mark.parametrize("source,status", [(GOOD, 0), (BAD, 1)])
def test_simplify_prints_the_modules_text(source, status):
    result = run(["simplify", "-"], stdin=source.encode())
    assert result.returncode == status
    if status == 0:
        assert result.stdout.decode() == _tarvelon.simplify_expr(source) + "\n"


UNREADABLE = [
    ("missing.tvl", "tarvelon: error: cannot read missing.tvl: No such file or directory\n"),
    # A path's control characters are shown escaped, as in reports.
    ("a\033[2Jb\n.tvl", "tarvelon: error: cannot read a\\x1b[2Jb\\n.tvl: No such file or directory\n"),
    (".", "tarvelon: error: cannot read .: Is a directory\n"),
    ("latin1.tvl",
     "tarvelon: error: cannot read latin1.tvl: not UTF-8 text (unexpected end of data at byte 16)\n"),
    # A file that never ends is cut at the bound instead of filling the memory.
    ("/dev/zero",
     "tarvelon: error: cannot read /dev/zero: larger than 64 MiB, the limit for a kernel source\n"),
]


def test_standard_input_beyond_the_bound_is_a_usage_error():
    result = run(["check", "-"], stdin=b" " * (64 * 1024 * 1024 + 1))
    assert (result.returncode, result.stdout, result.stderr.decode()) == (
        2, b"", "tarvelon: error: cannot read standard input: larger than 64 MiB, the limit for "
                "a kernel source\n")


@pytest.mark.parametrize("command", ["emit", "simplify", "check"])
@pytest.mark.parametrize("path,message", UNREADABLE)
def test_an_unreadable_file_is_a_usage_error(tmp_path, command, path, message):
    (tmp_path / "latin1.tvl").write_bytes("|x: f64| x # café".encode("latin-1"))
    result = run([command, path], cwd=tmp_path)
    assert (result.returncode, result.stdout, result.stderr.decode()) == (2, b"", message)


@pytest.mark.parametrize("args", [
    [], ["compile", "k.tvl"], ["emit"], ["emit", "k.tvl", "--fast"], ["check", "k.tvl", "--name", "f"],
    ["emit", "--name", "not valid", "k.tvl"], ["emit", "--name", "class", "k.tvl"],
])
def test_usage_errors_exit_with_2(tmp_path, args):
    (tmp_path / "k.tvl").write_text(GOOD)
    result = run(args, cwd=tmp_path)
    assert result.returncode == 2
    assert result.stdout == b""
    assert result.stderr.startswith(b"usage: tarvelon")


@pytest.mark.parametrize("command", [[], ["emit"], ["simplify"], ["check"]])
def test_every_command_has_help(command):
    result = run([*command, "--help"])
    assert result.returncode == 0
    assert result.stdout.decode().startswith(" ".join(["usage: tarvelon", *command]))


def run_on_terminal(args, env):
    """Runs the command with its standard output on a pseudo-terminal; returns what it wrote."""
    controller, terminal = pty.openpty()
    try:
        process = subprocess.Popen(
            [sys.executable, "-m", "tarvelon", *args], stdout=terminal, stderr=subprocess.DEVNULL,
            stdin=subprocess.DEVNULL, env=env)
        os.close(terminal)
        chunks = []
        while True:
            try:
                chunk = os.read(controller, 65536)
            except OSError:  # the terminal closed with the process
                break
            if not chunk:
                break
            chunks.append(chunk)
        process.wait(timeout=60)
    finally:
        os.close(controller)
    return b"".join(chunks).decode()


@pytest.mark.parametrize("env,coloured", [
    ({}, True), ({"NO_COLOR": "1"}, False), ({"NO_COLOR": ""}, True)])
def test_colour_only_on_a_terminal_and_never_with_no_color(tmp_path, env, coloured):
    (tmp_path / "k.tvl").write_text(BAD)
    environment = {k: v for k, v in os.environ.items() if k != "NO_COLOR"}
    environment.update(PYTHONPATH=PACKAGE_ROOT, **env)
    output = run_on_terminal(["check", str(tmp_path / "k.tvl")], environment)
    assert ("\033[1;31merror[UndefinedVariable]" in output) == coloured
    assert "undefined variable `z`" in output


def closing(fd):
    return {"preexec_fn": lambda: os.close(fd)}


def full(stream):
    return {stream: "/dev/full"}


# command, source on standard input, how the streams differ from files, and the one line on
# standard error (None: standard error itself is the stream that fails).
STREAM_FAILURES = [
    (["emit", "-"], GOOD, closing(1), "cannot write to standard output: it is closed"),
    (["emit", "-"], GOOD, full("stdout"), "cannot write to standard output: No space left on device"),
    (["check", "-"], BAD, full("stdout"), "cannot write to standard output: No space left on device"),
    (["emit", "-"], GOOD, {"stdout": "broken pipe"}, "cannot write to standard output: Broken pipe"),
    (["emit", "-"], GOOD, closing(0), "cannot read standard input: it is closed"),
    (["emit", "--help"], "", full("stdout"), "cannot write to standard output: No space left on device"),
    (["emit", "-"], BAD, closing(2), None),
    # Standard error failing to take the warnings does not keep the emitted text back.
    (["emit", "-"], WARNS, full("stderr"), None),
]


@pytest.mark.parametrize("args,source,streams,line", STREAM_FAILURES)
def test_an_unusable_stream_is_one_line_and_status_3(tmp_path, args, source, streams, line):
    (tmp_path / "stdin").write_text(source)
    with contextlib.ExitStack() as files:
        kwargs = {name: files.enter_context(open(tmp_path / name, mode))
                  for name, mode in [("stdin", "rb"), ("stdout", "wb"), ("stderr", "wb")]}
        for name, target in streams.items():
            if target == "broken pipe":
                reader, kwargs[name] = os.pipe()
                os.close(reader)
                files.callback(os.close, kwargs[name])
            else:
                kwargs[name] = target if name == "preexec_fn" else files.enter_context(
                    open(target, "wb"))
        result = subprocess.run([sys.executable, "-m", "tarvelon", *args], timeout=60,
                                env={**os.environ, "PYTHONPATH": PACKAGE_ROOT}, **kwargs)
    assert result.returncode == 3
    if line is not None:
        assert (tmp_path / "stderr").read_text() == f"tarvelon: error: {line}\n"
    if source == WARNS:
        assert (tmp_path / "stdout").read_text() == _tarvelon.emit_python(WARNS)


def test_max_diagnostics_bounds_the_report_and_counts_the_rest():
    many = "|x: f64| a + b + c"
    shown = {n: run(["check", "--max-diagnostics", n, "-"], stdin=many.encode()) for n in
             ["0", "1", "3"]}
    assert [r.returncode for r in shown.values()] == [1, 1, 1]
    assert shown["0"].stdout == shown["3"].stdout
    assert shown["0"].stdout.count(b"error[") == 3
    assert shown["1"].stdout.count(b"error[") == 1
    assert shown["1"].stdout.endswith(b"\n\n... and 2 more\n")
    many_lines = "|x: f64|\n" + "".join(f"y{i} = q{i}\n" for i in range(20000)) + "x\n"
    result = run(["check", "-"], stdin=many_lines.encode())
    assert result.stdout.count(b"error[") == 50
    assert result.stdout.endswith(b"\n\n... and 19950 more\n")


@pytest.mark.parametrize("count", ["-1", "x", "1.5"])
def test_max_diagnostics_takes_a_count(count):
    result = run(["check", "--max-diagnostics", count, "-"], stdin=GOOD.encode())
    assert result.returncode == 2
    assert b"expected a count of 0 or more" in result.stderr


# Reproducers whose reports grew with the square of their size; each now writes a bounded
# amount whatever its size.
BOUNDED = [
    pytest.param(["check", "-"], "|x: f64|\n" + " x * 2 +" * 5000 + " x", 0, "stdout",
                 id="notes-on-one-line"),
    pytest.param(["emit", "-"], "|x: f32|\nx" + " + x@f32@i64" * 5000, 0, "stderr",
                 id="warnings-of-a-kernel-that-compiles"),
    pytest.param(["check", "-"],
                 "|x: f64|\n" + "".join(f"y{i} = x + q{i}\n" for i in range(45000)) + "x\n", 1,
                 "stdout", id="errors-on-45000-lines"),
]


@pytest.mark.parametrize("args,source,status,stream", BOUNDED)
def test_a_report_is_bounded_whatever_the_kernels_size(args, source, status, stream):
    result = run(args, stdin=source.encode())
    assert result.returncode == status
    report = getattr(result, stream).decode()
    assert len(report) < 60_000
    assert re.search(r"\n\n\.\.\. and \d+ more\n$", report)
