#!/usr/bin/env python3
"""Serve soak: drives one serve-mode launcher through N mixed requests (default
10,000) per isolation and prints, every 1,000 requests, the serving process's
open descriptors, threads, zombie children and resident memory. Every reply is
checked against its request; the script exits 1 on a wrong reply, a growing
descriptor count or a zombie.

Usage: bench/serve-soak.py [--build DIR] [--requests N] [isolation ...]
       (default: build, 10000, none strict)
The serving process is the launcher itself, or the jail init in strict
isolation. Not part of CI: it takes a minute or two per isolation."""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time


def children(pid):
    out = []
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/children") as f:
            out += [int(c) for c in f.read().split()]
    return out


def state(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except FileNotFoundError:
        return "gone"


def status_field(pid, name):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(name + ":"):
                return int(line.split()[1])
    return -1


def sample(pid):
    return {
        "fds": len(os.listdir(f"/proc/{pid}/fd")),
        "threads": status_field(pid, "Threads"),
        "zombies": sum(1 for c in children(pid) if state(c) == "Z"),
        "rss_kib": status_field(pid, "VmRSS"),
    }


class Server:
    def __init__(self, binary, policy):
        read_end, write_end = os.pipe()
        os.write(write_end, (json.dumps(policy) + "\n").encode())
        os.close(write_end)
        self.proc = subprocess.Popen(
            [binary, "--policy-fd", str(read_end)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            pass_fds=[read_end])
        os.close(read_end)
        assert self.read() == {"ready": True}

    def read(self):
        line = self.proc.stdout.readline()
        if not line.endswith(b"\n"):
            raise SystemExit(f"server ended early (status {self.proc.wait()})")
        return json.loads(line)

    def request(self, req):
        self.proc.stdin.write((json.dumps(req, separators=(",", ":")) + "\n").encode())
        self.proc.stdin.flush()
        return self.read()

    def serving_pid(self, isolation):
        if isolation != "strict":
            return self.proc.pid
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            kids = children(self.proc.pid)
            if kids:
                return kids[0]
            time.sleep(0.01)
        raise SystemExit("no jail init")

    def finish(self):
        self.proc.stdin.close()
        return self.proc.wait(timeout=30)


def run(argv, **extra):
    return {"kind": "run", "argv": argv, **extra}


class Soak:
    """Ten requests a round; every background start is stopped in the same
    round, so at each sample nothing the server started is left."""

    def __init__(self, server):
        self.server = server
        self.sent = 0
        self.bad = []

    def expect(self, req, check):
        reply = self.server.request(req)
        self.sent += 1
        if not check(reply):
            self.bad.append((req, reply))
        return reply

    def round(self, index):
        s = self.expect
        ok = lambda code, out="", err="": (
            lambda r: r == {"returncode": code, "stdout": out, "stderr": err})
        if index % 200 == 0:
            s(run(["sleep", "5"], timeout_s=0.1), lambda r: r.get("returncode") == 124)
        else:
            s(run(["true"]), ok(0))
        s(run(["sh", "-c", "echo out; echo err >&2; exit 3"]), ok(3, "out\n", "err\n"))
        s(run(["sh", "-c", "printf %s \"$A\""], env=[["A", "x" * 100]]), ok(0, "x" * 100))
        s(run(["sh", "-c", "head -c 65536 /dev/zero | tr '\\0' y"]), ok(0, "y" * 65536))
        bg = s({"kind": "background", "argv": ["sleep", "30"]}, lambda r: r.get("pid", 0) > 0)
        pid = bg.get("pid", 0)
        s({"kind": "status", "pid": pid}, lambda r: r == {"returncode": None, "running": True})
        s({"kind": "stop", "pid": pid},
          lambda r: r.get("stopped") is True and r.get("returncode") == 137
          and r.get("survivors", []) == [])
        quick = s({"kind": "background", "argv": ["true"]}, lambda r: r.get("pid", 0) > 0)
        s({"kind": "stop", "pid": quick.get("pid", 0)},
          lambda r: r.get("stopped") is True and r.get("returncode") in (0, 137, None))
        s({"kind": "status", "pid": 2147483647},
          lambda r: r.get("running") is False and "error" in r)


def soak(binary, isolation, total):
    with tempfile.TemporaryDirectory(prefix="tj-soak-") as cwd:
        policy = {"isolation": isolation, "cwd": cwd, "argv": [], "mode": "serve"}
        server = Server(binary, policy)
        pid = server.serving_pid(isolation)
        soak = Soak(server)
        print(f"{isolation}: serving pid {pid}")
        print(f"  {'requests':>8} {'fds':>4} {'threads':>7} {'zombies':>7} {'rss_kib':>8} {'s':>6}")
        start, first, rounds, failed = time.monotonic(), None, 0, False
        while soak.sent < total:
            soak.round(rounds)
            rounds += 1
            if soak.sent % 1000 == 0:
                now = sample(pid)
                first = first or now
                print(f"  {soak.sent:>8} {now['fds']:>4} {now['threads']:>7} {now['zombies']:>7}"
                      f" {now['rss_kib']:>8} {time.monotonic() - start:>6.1f}", flush=True)
                failed |= now["fds"] > first["fds"] or now["zombies"] > 0
        code = server.finish()
        for req, reply in soak.bad[:5]:
            print(f"  wrong reply to {json.dumps(req)[:100]}: {json.dumps(reply)[:200]}")
        print(f"  {len(soak.bad)} wrong replies; exit status {code}")
        return not failed and not soak.bad and code == 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--requests", type=int, default=10000)
    parser.add_argument("isolation", nargs="*", default=["none", "strict"])
    args = parser.parse_args()
    binary = os.path.realpath(os.path.join(args.build, "tarrow-jail"))
    results = [soak(binary, iso, args.requests) for iso in args.isolation]
    sys.exit(0 if all(results) else 1)


if __name__ == "__main__":
    main()
