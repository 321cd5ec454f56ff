"""The reference client against the built launcher (TARROW_JAIL names it), in
strict jails as a supervisor would run them."""

import os
import shutil
import tempfile
import time
import unittest

import tarrow_jail as tj


class Workspace(unittest.TestCase):
    def setUp(self):
        # Outside /tmp: a strict jail's /tmp is its own.
        self.dir = tempfile.mkdtemp(prefix="tj-client-", dir="/var/tmp")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def policy(self, **more):
        return {"cwd": self.dir, "argv": [], **more}


class OnceTest(Workspace):
    def test_run_once_returns_the_reply_and_the_record(self):
        reply, record, stderr = tj.run_once(
            self.policy(argv=["/bin/sh", "-c", "echo out; echo err >&2; exit 3"]))
        self.assertEqual(reply, {"returncode": 3, "stderr": "err\n", "stdout": "out\n"})
        self.assertEqual(record["isolation"], "strict")
        self.assertEqual(record["landlock"]["outcome"], "enforced")
        self.assertEqual(stderr, "")

    def test_a_launcher_failure_carries_its_message(self):
        with self.assertRaises(tj.LauncherError) as caught:
            tj.run_once({"cwd": self.dir + "/missing", "argv": ["true"]})
        self.assertEqual(caught.exception.status, 2)
        self.assertIn("cannot be resolved", str(caught.exception))
        self.assertEqual(caught.exception.records[0]["event"], "fatal")


class ServeTest(Workspace):
    def test_run_background_status_stop(self):
        with tj.Server(self.policy()) as server:
            self.assertEqual(server.record["event"], "confined")
            self.assertEqual(server.run(["/bin/echo", "hi"])["stdout"], "hi\n")
            pid = server.background(["/bin/sleep", "60"])
            self.assertEqual(server.status(pid), {"returncode": None, "running": True})
            stopped = server.stop(pid)
            self.assertEqual((stopped["returncode"], stopped["stopped"]), (137, True))
            self.assertEqual(stopped["survivors"], [])

    def test_interrupt_hands_a_run_to_the_background(self):
        logs = os.path.join(self.dir, "logs")
        os.mkdir(logs)
        with tj.Server(self.policy()) as server:
            server.interrupt()
            reply = server.run(["/bin/sh", "-c", "echo started; sleep 60"], checkin_s=600,
                               log_dir=logs)
            self.assertTrue(reply["backgrounded"])
            self.assertTrue(reply["log"].startswith(logs + "/converted-"))
            self.assertEqual(server.stop(reply["pid"])["stopped"], True)

    def test_a_refused_request_ends_the_server_with_its_message(self):
        server = tj.Server(self.policy())
        with self.assertRaises(tj.LauncherError) as caught:
            server.request({"kind": "run", "argv": ["true"], "bogus": 1})
        self.assertIn("unknown field `bogus`", caught.exception.stderr)
        self.assertEqual(caught.exception.status, 2)


class SessionTest(Workspace):
    def test_two_jails_share_the_session_loopback(self):
        port = 40000 + os.getpid() % 20000
        listen = ("import socket; s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, "
                  f"socket.SO_REUSEADDR, 1); s.bind(('127.0.0.1', {port})); s.listen(); "
                  "c, _ = s.accept(); c.sendall(b'hello over the session')")
        connect = ("import socket, time\n"
                   "for _ in range(200):\n"
                   "    try:\n"
                   f"        s = socket.create_connection(('127.0.0.1', {port})); break\n"
                   "    except OSError: time.sleep(0.05)\n"
                   "print(s.recv(100).decode())")
        with tj.SessionNetwork() as session:
            with tj.Server(self.policy(), session=session) as server:
                self.assertEqual(server.record["network"], "session")
                pid = server.background(["/usr/bin/python3", "-c", listen])
                reply, record, _ = tj.run_once(
                    self.policy(argv=["/usr/bin/python3", "-c", connect]), session=session)
                self.assertEqual(reply["stdout"], "hello over the session\n", reply)
                server.stop(pid)
            # Without the session, the same port is nobody's.
            alone, _, _ = tj.run_once(self.policy(argv=["/usr/bin/python3", "-c",
                                                        connect.replace("200", "2")]))
            self.assertNotEqual(alone["returncode"], 0)


if __name__ == "__main__":
    unittest.main()
