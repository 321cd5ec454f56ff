"""A reference client of tarrow-jail for supervisors written in Python.

Standard library only (Python 3.11). It starts the launcher with the policy on a
descriptor, reads the enforcement record from --status-fd, drives serve mode
(run, background, status, stop, the interrupt), holds session networks, and
reports the launcher's standard error when it ends.

    with Server({"cwd": "/work/w", "argv": []}) as server:
        reply = server.run(["make", "test"], timeout_s=300)
        print(server.record["landlock"]["outcome"], reply["returncode"])

    reply, record, stderr = run_once({"cwd": "/work/w", "argv": ["true"]})
"""

from __future__ import annotations

import json
import os
import subprocess
import threading
from dataclasses import dataclass, field
from typing import Any, Sequence

LAUNCHER = os.environ.get("TARROW_JAIL", "tarrow-jail")


class LauncherError(Exception):
    """The launcher failed: exit status 2, or it ended without the expected line."""

    def __init__(self, message: str, status: int | None, stderr: str, record: list[dict]):
        super().__init__(message)
        self.status = status
        self.stderr = stderr
        self.records = record


@dataclass
class Exit:
    """How a launcher ended: its exit status, standard error and record lines."""

    status: int
    stderr: str
    records: list[dict] = field(default_factory=list)


def _pipe() -> tuple[int, int]:
    # os.pipe() gives close-on-exec descriptors; pass_fds opens them up for the child.
    return os.pipe()


class _Collector(threading.Thread):
    """Reads a stream to its end in the background, so no pipe ever fills up."""

    def __init__(self, stream):
        super().__init__(daemon=True)
        self._stream = stream
        self.data = b""

    def run(self) -> None:
        self.data = self._stream.read()

    def text(self) -> str:
        self.join()
        return self.data.decode(errors="replace")


class _Records:
    """The --status-fd lines, read as they arrive."""

    def __init__(self, fd: int):
        self._file = os.fdopen(fd, "rb")
        self.lines: list[dict] = []

    def next(self) -> dict | None:
        line = self._file.readline()
        if not line:
            return None
        self.lines.append(json.loads(line))
        return self.lines[-1]

    def rest(self) -> list[dict]:
        while self.next() is not None:
            pass
        self._file.close()
        return self.lines


class SessionNetwork:
    """A session network holder: jails given it share one private loopback network.

    The holder and every launcher that joins must run as the same uid."""

    def __init__(self, launcher: str = LAUNCHER, prefix: Sequence[str] = ()):
        self._proc = subprocess.Popen(
            [*prefix, launcher, "--hold-netns"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        line = self._proc.stdout.readline()
        if line != b"ready\n":
            stderr = self._proc.stderr.read().decode(errors="replace")
            status = self._proc.wait()
            raise LauncherError(f"session network holder failed: {stderr.strip()}",
                                status, stderr, [])
        ns = f"/proc/{self._proc.pid}/ns/"
        self.userns_fd = os.open(ns + "user", os.O_RDONLY | os.O_CLOEXEC)
        self.netns_fd = os.open(ns + "net", os.O_RDONLY | os.O_CLOEXEC)

    def args(self) -> list[str]:
        return ["--userns-fd", str(self.userns_fd), "--netns-fd", str(self.netns_fd)]

    def fds(self) -> tuple[int, int]:
        return (self.userns_fd, self.netns_fd)

    def close(self) -> int:
        """Closes the namespace descriptors and the holder's input; its exit status."""
        for fd in self.fds():
            os.close(fd)
        self._proc.stdin.close()
        status = self._proc.wait()
        self._proc.stdout.close()
        self._proc.stderr.close()
        return status

    def __enter__(self) -> SessionNetwork:
        return self

    def __exit__(self, *exc) -> None:
        self.close()


class _Launch:
    """One launcher process: policy on a descriptor, record on another."""

    def __init__(self, policy: dict, *, launcher: str, session: SessionNetwork | None,
                 interrupt: bool, prefix: Sequence[str], stdin_data: bytes | None = None):
        policy = dict(policy)
        if session is not None:
            policy.setdefault("network", "session")
        policy_r, policy_w = _pipe()
        status_r, status_w = _pipe()
        args = ["--policy-fd", str(policy_r), "--status-fd", str(status_w)]
        keep = [policy_r, status_w]
        self._interrupt_w = None
        if interrupt:
            intr_r, self._interrupt_w = _pipe()
            args += ["--interrupt-fd", str(intr_r)]
            keep.append(intr_r)
        if session is not None:
            args += session.args()
            keep += session.fds()
        try:
            self.proc = subprocess.Popen(
                [*prefix, launcher, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                stderr=subprocess.PIPE, pass_fds=keep)
        finally:
            os.close(policy_r)
            os.close(status_w)
            if interrupt:
                os.close(intr_r)
        with os.fdopen(policy_w, "wb") as f:
            f.write(json.dumps(policy, separators=(",", ":")).encode() + b"\n")
        self._stderr = _Collector(self.proc.stderr)
        self._stderr.start()
        self.records = _Records(status_r)
        # The first record comes once confinement is in place (or a fatal error).
        self.record = self.records.next()
        if stdin_data is not None:
            self.proc.stdin.write(stdin_data)
        if self.record is None or self.record.get("event") != "confined":
            self.fail("the launcher did not confine")

    def interrupt(self) -> None:
        if self._interrupt_w is None:
            raise ValueError("started without an interrupt descriptor")
        os.write(self._interrupt_w, b"x")

    def finish(self) -> Exit:
        """Closes the launcher's input and waits for it."""
        if not self.proc.stdin.closed:
            try:
                self.proc.stdin.close()
            except BrokenPipeError:
                pass
        status = self.proc.wait()
        if self._interrupt_w is not None:
            os.close(self._interrupt_w)
            self._interrupt_w = None
        records = self.records.rest()
        stderr = self._stderr.text()
        self.proc.stdout.close()
        self.proc.stderr.close()
        return Exit(status, stderr, records)

    def fail(self, what: str):
        end = self.finish()
        fatal = [r["message"] for r in end.records if r.get("event") == "fatal"]
        message = fatal[0] if fatal else end.stderr.strip()
        raise LauncherError(f"{what}: {message}", end.status, end.stderr, end.records)


def run_once(policy: dict, *, launcher: str = LAUNCHER, session: SessionNetwork | None = None,
             prefix: Sequence[str] = ()) -> tuple[dict, dict, str]:
    """One captured run (mode once): its reply, the enforcement record, standard error."""
    launch = _Launch({**policy, "mode": "once"}, launcher=launcher, session=session,
                     interrupt=False, prefix=prefix, stdin_data=b"")
    reply = launch.proc.stdout.readline()
    launch.proc.stdout.close()
    end = launch.finish()
    if end.status != 0 or not reply:
        raise LauncherError(f"run failed: {end.stderr.strip()}", end.status, end.stderr,
                            end.records)
    return json.loads(reply), launch.record, end.stderr


class Server:
    """A serve-mode launcher: one request at a time, replies in order."""

    def __init__(self, policy: dict, *, launcher: str = LAUNCHER,
                 session: SessionNetwork | None = None, prefix: Sequence[str] = ()):
        self._launch = _Launch({**policy, "mode": "serve"}, launcher=launcher,
                               session=session, interrupt=True, prefix=prefix)
        self.record: dict = self._launch.record
        ready = self._reply()
        if ready != {"ready": True}:
            self._launch.fail(f"unexpected readiness line {ready!r}")

    @property
    def pid(self) -> int:
        return self._launch.proc.pid

    def _reply(self) -> dict:
        line = self._launch.proc.stdout.readline()
        if not line:
            self._launch.fail("the launcher ended without a reply")
        return json.loads(line)

    def request(self, request: dict) -> dict:
        """Sends one request and returns its reply."""
        try:
            self._launch.proc.stdin.write(json.dumps(request, separators=(",", ":")).encode()
                                          + b"\n")
            self._launch.proc.stdin.flush()
        except BrokenPipeError:
            self._launch.fail("the launcher stopped reading")
        return self._reply()

    @staticmethod
    def _child(kind: str, argv: Sequence[str], env, timeout_s, memory_limit_mb, checkin_s,
               log_dir) -> dict:
        request: dict[str, Any] = {"kind": kind, "argv": list(argv)}
        if env is not None:
            request["env"] = [list(pair) for pair in env]
        for key, value in (("timeout_s", timeout_s), ("memory_limit_mb", memory_limit_mb),
                           ("checkin_s", checkin_s), ("log_dir", log_dir)):
            if value is not None:
                request[key] = value
        return request

    def run(self, argv: Sequence[str], *, env=None, timeout_s: float | None = None,
            memory_limit_mb: int | None = None, checkin_s: float | None = None,
            log_dir: str | None = None) -> dict:
        """Runs a command with output capture; with checkin_s and log_dir it may come
        back as {"backgrounded": true, "log": ..., "pid": ...}."""
        return self.request(self._child("run", argv, env, timeout_s, memory_limit_mb,
                                        checkin_s, log_dir))

    def background(self, argv: Sequence[str], *, env=None,
                   memory_limit_mb: int | None = None) -> int:
        """Starts a detached command; its pid."""
        reply = self.request(self._child("background", argv, env, None, memory_limit_mb,
                                         None, None))
        if reply.get("exec_failed"):
            raise LauncherError(reply["stderr"], None, "", [])
        return reply["pid"]

    def status(self, pid: int) -> dict:
        return self.request({"kind": "status", "pid": pid})

    def stop(self, pid: int) -> dict:
        return self.request({"kind": "stop", "pid": pid})

    def interrupt(self) -> None:
        """Hands the current run (one with checkin_s and log_dir) to the background;
        written while no such run is in progress, it hands over the next one."""
        self._launch.interrupt()

    def close(self) -> Exit:
        """Ends the server's input and waits for it; raises on a launcher failure."""
        end = self._launch.finish()
        if end.status != 0:
            raise LauncherError(f"serve ended with status {end.status}: {end.stderr.strip()}",
                                end.status, end.stderr, end.records)
        return end

    def __enter__(self) -> Server:
        return self

    def __exit__(self, exc_type, *exc) -> None:
        if exc_type is None:
            self.close()
        else:
            self._launch.finish()
