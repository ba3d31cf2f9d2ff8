"""The activity log as a user meets it: the on-screen log tells a short story
of a session, and in debug mode the log file holds the protocol traffic with
the password masked. The password must appear in no output at all."""

import poplib
import re
import smtplib
import socket

import zorvane_e2e as e2e

# An unusual password, so that finding it anywhere is a leak and not chance.
CANARY = "Canary-9xQ!7pw"
ADDRESS = "canary@zorvane.test"


class ActivityLogTest(e2e.RigTestCase):
    """One session, read and sent in debug mode, looked at three ways."""

    @classmethod
    def setUpClass(cls):
        cls.rig = e2e.Rig("activity-log", accounts={ADDRESS: CANARY},
                          preferences={"DebugMode": "1", "SaveSentItems": "1"},
                          service_quiet=False)  # the service's request lines are searched too
        cls.addClassCleanup(cls.rig.close)
        cls.rig.maildir(ADDRESS).deliver("1733000100.M1P1.e2e", e2e.message_bytes(1, body_bytes=2000))
        cls.rig.start()
        cls.read_and_send()
        if cls.rig.stop_agent() != 0:
            raise AssertionError("the agent did not end cleanly")
        with open(cls.rig.log_file_path(), "rb") as f:
            cls.log_file = f.read()
        cls.screen = cls.rig.agent_output()

    @classmethod
    def read_and_send(cls):
        pop = cls.rig.pop3()
        pop.user("Canary")
        pop.pass_(CANARY)
        pop.stat()
        pop.list()
        pop.retr(1)
        pop.quit()
        smtp = cls.rig.smtp()
        smtp.sendmail(ADDRESS, [ADDRESS], b"Subject: to myself, caf\xe9 \xff\r\n\r\nHello.\r\n")
        smtp.quit()
        # A command with 8-bit bytes that are no UTF-8.
        cls.rig.wait_listening(cls.rig.pop3_port)
        with socket.create_connection(("127.0.0.1", cls.rig.pop3_port), timeout=e2e.SOCKET_TIMEOUT_S) as raw:
            replies = raw.makefile("rb")
            replies.readline()
            raw.sendall(b"USER na\xefve\x80\r\n")
            replies.readline()
            raw.sendall(b"QUIT\r\n")
            replies.readline()

    def test_the_log_file_holds_the_traffic_of_both_sides(self):
        lines = self.log_file.splitlines()
        for mark in (b"POP3> ", b"POP3< ", b"SMTP> ", b"SMTP< "):
            self.assertTrue(any(mark in line for line in lines), "no %r line in the log file" % mark)
        self.assertRegex(self.log_file, rb"(?m)^\S*\tPOP3> USER Canary\r$")
        self.assertRegex(self.log_file, rb"(?m)^\S*\tPOP3> PASS \*{8}\r$")
        self.assertRegex(self.log_file, rb"(?im)^\S*\tSMTP> mail FROM:<canary@zorvane\.test>\r$")

    def test_the_log_file_holds_the_traffic_byte_for_byte(self):
        self.assertRegex(self.log_file, rb"(?m)^\S*\tSMTP> Subject: to myself, caf\xe9 \xff\r$")
        self.assertRegex(self.log_file, rb"(?m)^\S*\tPOP3> USER na\xefve\x80\r$")
        # The copies of on-screen lines ("MSG < ") are text; the traffic is not.
        traffic = [line for line in self.log_file.split(b"\r\n") if re.search(rb"\t(POP3|SMTP)[<>] ", line)]
        self.assertFalse([line for line in traffic if "\ufffd".encode() in line])

    def test_the_password_appears_in_no_output(self):
        secrets = [CANARY.encode(), e2e.basic_credentials("canary", CANARY),
                   e2e.basic_credentials(ADDRESS, CANARY)]
        with open(self.rig.settings_path(), "rb") as f:
            settings = f.read()
        outputs = {"the log file": self.log_file, "the agent's output": self.screen,
                   "the service's output": self.rig.service_output(), "the settings file": settings}
        for name, text in outputs.items():
            for secret in secrets:
                self.assertNotIn(secret, text, "%r found in %s" % (secret, name))

    def test_the_screen_log_tells_the_session_in_order(self):
        story = [b"--New POP3 dialog--",
                 b"Connection request from ",
                 b"POP3-Username 'canary@zorvane.test' received.",
                 b"POP3-Logged in.",
                 b"POP3-Checking Inbox.",
                 b"POP3-Listing Inbox contents.",
                 b"POP3-Receiving message #1",
                 b"POP3-Cleaning up.",
                 b"POP3-Logoff.",
                 b"--New SMTP dialog--",
                 b"SMTP-Logon request received.",
                 b"SMTP-Logged in.",
                 b"SMTP-Processing sender.",
                 b"SMTP-Processing recipients.",
                 b"SMTP-Receiving data...",
                 b"  Sending message...",
                 b"SMTP-Logoff."]
        at = 0
        for line in story:
            found = self.screen.find(line, at)
            self.assertGreaterEqual(found, 0, "%r missing after offset %d of the screen log:\n%s"
                                    % (line, at, self.screen.decode("latin-1")))
            at = found + len(line)
        # The screen shows progress only, never the protocol traffic.
        for mark in (b"POP3> ", b"POP3< ", b"SMTP> ", b"SMTP< "):
            self.assertNotIn(mark, self.screen)


if __name__ == "__main__":
    e2e.main()
