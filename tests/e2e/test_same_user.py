"""Other users of this computer are kept out: with SameUserOnly on, or
missing, a client run by another user gets no greeting on either port, and
the agent's own user is served at once after such a rejection; with
SameUserOnly=0 the other user is served too.

The other user's client runs through setpriv as nobody, which needs root;
without root the test is skipped."""

import os
import socket
import subprocess
import sys

import zorvane_e2e as e2e

OTHER_UID = 65534  # nobody
CLIENT_DEADLINE_S = 60
POP3_GREETING = b"+OK Zorvane Welcome\r\n"
SMTP_GREETING = b"220 Zorvane Simple Mail Transfer Service Ready\r\n"
REJECTED = b"Connection request from 127.0.0.1(127.0.0.1) rejected."

# Connects, reads the greeting line or the end of the connection, says QUIT
# when greeted, and prints what the agent sent before QUIT.
CLIENT = r"""
import socket, sys
sock = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=float(sys.argv[2]))
got = b""
try:
    while not got.endswith(b"\r\n"):
        chunk = sock.recv(4096)
        if not chunk:
            break
        got += chunk
    if got:
        sock.sendall(b"QUIT\r\n")
        while sock.recv(4096):
            pass
except ConnectionResetError:
    pass
sys.stdout.buffer.write(got)
"""


def greeting(port, as_other_user):
    """What a client gets before it says QUIT, run as nobody or as we are."""
    command = [sys.executable, "-c", CLIENT, str(port), str(CLIENT_DEADLINE_S)]
    if as_other_user:
        command = ["setpriv", "--reuid=%d" % OTHER_UID, "--regid=%d" % OTHER_UID, "--clear-groups"] + command
    done = subprocess.run(command, capture_output=True, timeout=CLIENT_DEADLINE_S + 30, cwd="/",
                          env={"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "PYTHONDONTWRITEBYTECODE": "1"})
    if done.returncode != 0:
        raise AssertionError("the client ended with %d: %s" % (done.returncode, done.stderr.decode("latin-1")))
    return done.stdout


class SameUserOnlyTest(e2e.RigTestCase):

    def start_rig(self, preferences):
        rig = self.make_rig(preferences=preferences)
        rig.start()
        return rig

    def assert_other_user_rejected(self, rig):
        for port, expected in ((rig.pop3_port, POP3_GREETING), (rig.smtp_port, SMTP_GREETING)):
            rig.wait_listening(port)
            self.assertEqual(greeting(port, as_other_user=True), b"", "port %d greeted another user" % port)
            # No waiting: the port listens again as soon as the rejection is done.
            with socket.create_connection(("127.0.0.1", port), timeout=e2e.SOCKET_TIMEOUT_S) as own:
                reader = own.makefile("rb")
                self.assertEqual(reader.readline(), expected)
                own.sendall(b"QUIT\r\n")
                reader.read()  # the farewell, then the agent closes
        self.assertEqual(rig.agent_output().count(REJECTED), 2, rig.agent_output().decode("latin-1"))

    def test_missing_setting_keeps_other_users_out(self):
        self.assert_other_user_rejected(self.start_rig({}))

    def test_setting_on_keeps_other_users_out(self):
        self.assert_other_user_rejected(self.start_rig({"SameUserOnly": "1"}))

    def test_setting_off_serves_other_users(self):
        rig = self.start_rig({"SameUserOnly": "0"})
        for port, expected in ((rig.pop3_port, POP3_GREETING), (rig.smtp_port, SMTP_GREETING)):
            rig.wait_listening(port)
            self.assertEqual(greeting(port, as_other_user=True), expected)
            rig.wait_listening(port)
            self.assertEqual(greeting(port, as_other_user=False), expected)
        self.assertNotIn(REJECTED, rig.agent_output())

    def test_debug_log_names_the_rejected_owner(self):
        rig = self.start_rig({"DebugMode": "1"})
        rig.wait_listening(rig.pop3_port)
        self.assertEqual(greeting(rig.pop3_port, as_other_user=True), b"")
        rig.wait_listening(rig.pop3_port)
        self.assertEqual(greeting(rig.pop3_port, as_other_user=False), POP3_GREETING)
        rig.stop_agent()
        with open(rig.log_file_path(), "rb") as f:
            log = f.read()
        self.assertRegex(log, rb"\tConnection from 127\.0\.0\.1:\d+ opened by uid %d; the agent runs as uid 0\.\r\n"
                         % OTHER_UID)
        self.assertRegex(log, rb"\tConnection from 127\.0\.0\.1:\d+ opened by uid 0; the agent runs as uid 0\.\r\n")
        self.assertIn(b"MSG < " + REJECTED, log)


if __name__ == "__main__":
    if os.geteuid() != 0:
        print("skipped: running a client as another user needs root")
        sys.exit(e2e.SKIP_RETURN_CODE)
    e2e.require_programs("setpriv")
    e2e.main()
