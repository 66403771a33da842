"""Finding the builds to measure, and running them in child interpreters.

Two builds of the project's module are both named `_qel_cpp`, and one interpreter can import
only one of them, so each build a run needs may live in its own child process (a `Worker`).
The plain build `_qel_ref` has a name of its own and shares a worker with `_qel_cpp`, so
that the two are timed alternately in one process. A worker also bounds a call in time:
module calls hold the GIL, and only a separate process can be stopped while one runs.
"""
import glob
import importlib.machinery
import os
import pickle
import select
import struct
import subprocess
import sys
import time
from dataclasses import dataclass
from typing import Any, Dict, Optional, Sequence, Union

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BENCH_DIR = os.path.join(ROOT, "bench")
REFERENCE_DIR = os.path.join(ROOT, "..", "shared", "reference")
REFERENCE_PATTERN = "../shared/reference/_qel_ref*.so"


class BuildNotFound(Exception):
    """A build that was asked for (or that every run needs) is not there, or does not import."""


@dataclass(frozen=True)
class Build:
    """One importable build of the module."""

    # the name tables and reports show
    label: str
    # the name it is imported under
    module: str
    # the directory that holds its shared object
    directory: str


def _module_file(directory: str, module: str) -> Optional[str]:
    for suffix in importlib.machinery.EXTENSION_SUFFIXES:
        path = os.path.join(directory, module + suffix)
        if os.path.isfile(path):
            return path
    return None


def project_build() -> Build:
    """The project's `_qel_cpp`: from a PYTHONPATH directory if one holds it, else build/."""
    path_dirs = [d for d in os.environ.get("PYTHONPATH", "").split(os.pathsep) if d]
    for directory in path_dirs + [os.path.join(ROOT, "build")]:
        if _module_file(directory, "_qel_cpp"):
            return Build("_qel_cpp", "_qel_cpp", os.path.abspath(directory))
    raise BuildNotFound("no _qel_cpp module found on PYTHONPATH or in build/: build it first "
                        "(tools/setup, or cmake as README.md says)")


def reference_build() -> Optional[Build]:
    """The plain build `_qel_ref` shipped beside the project, or None when it is absent."""
    if glob.glob(os.path.join(REFERENCE_DIR, "_qel_ref*.so")) and _module_file(REFERENCE_DIR, "_qel_ref"):
        return Build("plain", "_qel_ref", os.path.abspath(REFERENCE_DIR))
    return None


def baseline_build(directory: str) -> Build:
    """Another build of `_qel_cpp`, given as the directory that holds it (or the file itself)."""
    if os.path.isfile(directory):
        directory = os.path.dirname(directory)
    if not _module_file(directory, "_qel_cpp"):
        raise BuildNotFound(f"--baseline {directory}: no _qel_cpp module for this Python "
                            f"({importlib.machinery.EXTENSION_SUFFIXES[0]}) in that directory")
    return Build("plain", "_qel_cpp", os.path.abspath(directory))


def plain_build(baseline: Optional[str]) -> Optional[Build]:
    """The build to hold `_qel_cpp` to: the --baseline directory if given, else `_qel_ref`."""
    return baseline_build(baseline) if baseline else reference_build()


def describe(build: Build) -> str:
    return f"{build.module} from {os.path.normpath(build.directory)}"


@dataclass(frozen=True)
class Failure:
    """A call that produced no result: the child ran out of time or died."""

    # "timeout" or "crash"
    kind: str
    # what happened, in a few words (exit status, signal, seconds)
    detail: str

    def __str__(self) -> str:
        return f"{self.kind} ({self.detail})"


_HEADER = struct.Struct("<Q")


def _read_exactly(stream, size: int) -> bytes:
    data = b""
    while len(data) < size:
        chunk = stream.read(size - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def _write_frame(stream, value: Any) -> None:
    data = pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL)
    stream.write(_HEADER.pack(len(data)) + data)
    stream.flush()


def _read_frame(fd: int, timeout: Optional[float]) -> Any:
    """One frame from file descriptor `fd`; TimeoutError past `timeout`, EOFError if it closes."""
    deadline = None if timeout is None else time.monotonic() + timeout
    header = b""
    while len(header) < _HEADER.size:
        remaining = None if deadline is None else max(0.0, deadline - time.monotonic())
        ready, _, _ = select.select([fd], [], [], remaining)
        if not ready:
            raise TimeoutError
        chunk = os.read(fd, _HEADER.size - len(header))
        if not chunk:
            raise EOFError
        header += chunk
    (size,) = _HEADER.unpack(header)
    body = bytearray()
    while len(body) < size:
        chunk = os.read(fd, min(size - len(body), 1 << 20))
        if not chunk:
            raise EOFError
        body += chunk
    return pickle.loads(bytes(body))


def _close_pipes(process: subprocess.Popen) -> None:
    for stream in (process.stdin, process.stdout):
        if stream is not None:
            stream.close()


class Worker:
    """A child interpreter holding `builds`; runs `function(module, *args)` for each of them.

    `function` is "file:name" for a file of bench/. A call that outlives its timeout or kills
    the child returns a Failure, and the next call starts a fresh child.
    """

    def __init__(self, builds: Sequence[Build]):
        names = [b.module for b in builds]
        if len(set(names)) != len(names):
            raise ValueError(f"one interpreter cannot import two modules named alike: {names}")
        self.builds = list(builds)
        # the child, while one runs
        self.process: Optional[subprocess.Popen] = None
        # the function of the call in progress, for error messages
        self.pending = ""

    def start(self) -> subprocess.Popen:
        """Starts the child and imports its builds; BuildNotFound if one does not import."""
        process = subprocess.Popen(
            [sys.executable, "-u", os.path.abspath(__file__)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, cwd=ROOT,
            env={k: v for k, v in os.environ.items() if k != "PYTHONPATH"})
        assert process.stdin is not None and process.stdout is not None
        self.process = process
        _write_frame(process.stdin, self.builds)
        try:
            status, value = _read_frame(process.stdout.fileno(), timeout=60.0)
        except (EOFError, TimeoutError):
            status, value = "error", "the child process ended before it was ready"
        if status != "ready":
            self.close()
            names = ", ".join(describe(b) for b in self.builds)
            raise BuildNotFound(f"cannot import {names}: {value}")
        return process

    def call(self, function: str, labels: Sequence[str], *args, timeout: Optional[float] = None) -> Any:
        """{label: result} of the function on each named build, or a Failure."""
        self.submit(function, labels, *args)
        return self.result(timeout)

    def submit(self, function: str, labels: Sequence[str], *args) -> None:
        """Starts a call; `result` waits for it, so that two workers can run side by side."""
        process = self.process or self.start()
        self.pending = function
        try:
            _write_frame(process.stdin, (function, list(labels), args))
        except BrokenPipeError:
            pass  # the child is gone; result() reports how it ended

    def result(self, timeout: Optional[float] = None) -> Any:
        """The reply to the last `submit`: {label: result}, or a Failure."""
        process = self.process
        assert process is not None and process.stdout is not None, "result() without submit()"
        try:
            status, value = _read_frame(process.stdout.fileno(), timeout)
        except EOFError:
            return self._failed("crash", None)
        except TimeoutError:
            return self._failed("timeout", timeout)
        if status == "error":
            # A fault of the benchmark code, not of a build: stop with its traceback.
            self.close()
            raise RuntimeError(f"{self.pending} failed in the child process:\n{value}")
        return value

    def _failed(self, kind: str, timeout: Optional[float]) -> Failure:
        process, self.process = self.process, None
        assert process is not None
        if kind == "crash":
            # The reply pipe closes a moment before the process has exited: give it that moment,
            # so that its own status, not our kill, is reported.
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                pass
        process.kill()
        status = process.wait()
        _close_pipes(process)
        if kind == "timeout":
            return Failure("timeout", f"over {timeout:g} s")
        return Failure("crash", f"signal {-status}" if status < 0 else f"exit status {status}")

    def peak_rss_kib(self) -> Union[int, Failure]:
        """The child's peak resident memory so far, in KiB (Linux reports ru_maxrss in KiB)."""
        label = self.builds[0].label
        reply = self.call("builds:_peak_rss", [label])
        return reply if isinstance(reply, Failure) else reply[label]

    def close(self) -> None:
        process, self.process = self.process, None
        if process is not None:
            _close_pipes(process)  # the child reads the end of its requests and exits
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()

    def __enter__(self) -> "Worker":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def _peak_rss(module) -> int:
    import resource
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def _next_frame(stream) -> Any:
    """The next frame a parent wrote, or None once it has closed the pipe."""
    header = stream.read(_HEADER.size)
    if len(header) < _HEADER.size:
        return None
    return pickle.loads(_read_exactly(stream, _HEADER.unpack(header)[0]))


def _serve() -> None:
    """The child's side: import the builds, then answer calls until stdin closes. Functions
    are looked up in this file's directory (bench/), the first entry of sys.path."""
    import importlib
    import traceback

    # Replies own the real stdout; anything the modules print goes to stderr instead.
    replies = os.fdopen(os.dup(sys.stdout.fileno()), "wb")
    os.dup2(sys.stderr.fileno(), sys.stdout.fileno())
    requests = sys.stdin.buffer
    modules: Dict[str, Any] = {}
    try:
        for build in _next_frame(requests):
            sys.path.insert(0, build.directory)
            modules[build.label] = importlib.import_module(build.module)
            sys.path.remove(build.directory)
    except Exception as error:
        _write_frame(replies, ("error", f"{type(error).__name__}: {error}"))
        return
    _write_frame(replies, ("ready", None))
    while True:
        request = _next_frame(requests)
        if request is None:
            return
        function, labels, args = request
        try:
            file_name, name = function.split(":")
            target = getattr(importlib.import_module(file_name), name)
            _write_frame(replies, ("ok", {label: target(modules[label], *args) for label in labels}))
        except Exception:  # a fault of the benchmark code, reported to the parent
            _write_frame(replies, ("error", traceback.format_exc()))


if __name__ == "__main__":
    _serve()
