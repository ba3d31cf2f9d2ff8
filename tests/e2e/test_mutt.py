"""mutt, driven without a person: it reads the mailbox over POP3 (its screen
on a pseudo-terminal, keys pushed with -e) and sends a message over SMTP in
batch mode, greeting with HELO since no SMTP user is set."""

import fcntl
import os
import pty
import select
import signal
import struct
import subprocess
import termios
import time

import zorvane_e2e as e2e

e2e.require_programs("mutt")

BOB = "bob@zorvane.test"
ACCOUNTS = {"demo@zorvane.test": "demo", BOB: "bob"}


def run_on_terminal(command, env, deadline_s):
    """Runs a full-screen program on a pseudo-terminal of 100 x 40 until it
    ends; returns its exit status and everything it drew."""
    pid, master = pty.fork()
    if pid == 0:
        try:
            os.execvpe(command[0], command, env)
        finally:
            os._exit(127)
    fcntl.ioctl(master, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 100, 0, 0))
    screen = bytearray()
    end = time.monotonic() + deadline_s
    try:
        while True:
            left = end - time.monotonic()
            if left <= 0:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                raise AssertionError("%s did not end within %d s; its screen:\n%s"
                                     % (command[0], deadline_s, screen.decode("latin-1")))
            ready, _, _ = select.select([master], [], [], left)
            if not ready:
                continue
            try:
                chunk = os.read(master, 65536)
            except OSError:  # the terminal is gone: the program has ended
                break
            if not chunk:
                break
            screen += chunk
    finally:
        os.close(master)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status), bytes(screen)


def without_length_lines(message):
    """mutt adds the header lines "Content-Length:" and "Lines:" to what it
    saves; our messages have neither."""
    head, _, body = message.partition(b"\n\n")
    kept = [line for line in head.split(b"\n") if not line.startswith((b"Content-Length: ", b"Lines: "))]
    return b"\n".join(kept) + b"\n\n" + body


class MuttTest(e2e.RigTestCase):
    accounts = ACCOUNTS
    preferences = {"DebugMode": "1"}

    def setUp(self):
        self.rig = self.make_rig()
        self.rig.maildir(BOB)
        inbox = self.rig.maildir()
        self.stored = [e2e.message_bytes(n, body_bytes=400 + 1000 * n) for n in range(1, 5)]
        self.stored.append(e2e.message_bytes(5, body_bytes=70000))
        for n, data in enumerate(self.stored, 1):
            inbox.deliver("1733000300.M%dP1.e2e" % n, data)
        self.rig.start()
        self.muttrc = os.path.join(self.rig.home, "muttrc")
        with open(self.muttrc, "w") as f:
            f.write("\n".join([
                'set pop_user="demo"',
                'set pop_pass="demo"',
                'set pop_authenticators="user"',
                "set ssl_starttls=no",
                "unset ssl_force_tls",
                'set smtp_url="smtp://127.0.0.1:%d/"' % self.rig.smtp_port,
                'set from="demo@zorvane.test"',
                'set realname="Demo"',
                "set use_from=yes",
                'set hostname="e2e.zorvane.test"',
                'set record=""',
                'set folder="%s"' % self.rig.home,
                'set header_cache=""',
                'set message_cachedir=""',
                "set mbox_type=Maildir",
                "set move=no",
                "set delete=no",
                "set quit=yes",
                "set confirmcreate=no",
                "set confirmappend=no",
                "set wait_key=no",
                "set sort=mailbox-order",
                "set copy=no",
                ""]))

    def environment(self):
        env = self.rig.environment()
        env.update({"TERM": "vt100", "MAIL": os.path.join(self.rig.home, "spool"),
                    "EDITOR": "true", "VISUAL": "true"})
        return env

    def test_reads_the_mailbox_over_pop3(self):
        target = os.path.join(self.rig.base, "read-by-mutt")
        keys = "<tag-pattern>~A<enter><tag-prefix><copy-message>%s<enter><quit>" % target
        status, screen = run_on_terminal(
            ["mutt", "-n", "-F", self.muttrc, "-f", "pop://demo@127.0.0.1:%d/" % self.rig.pop3_port,
             "-e", "push '%s'" % keys],
            self.environment(), e2e.CLIENT_DEADLINE_S)
        self.assertEqual(status, 0, screen.decode("latin-1"))
        copied = [without_length_lines(m) for m in e2e.Maildir(target, create=False).messages()]
        # mutt keeps messages with LF line ends.
        self.assertMessagesEqual(copied, [e2e.lf_form(d) for d in self.stored], "messages mutt copied")
        self.assertMessagesEqual(self.rig.maildir().messages(), self.stored, "inbox after reading")

    def test_sends_over_smtp_with_helo(self):
        e2e.pop3_login_once(self.rig, "demo", "demo")
        body = b"Hello Bob,\n.\nsent by mutt in batch mode.\n"
        run = subprocess.run(["mutt", "-n", "-F", self.muttrc, "-s", "from mutt", "--", BOB],
                             input=body, capture_output=True, env=self.environment(),
                             timeout=e2e.CLIENT_DEADLINE_S)
        self.assertEqual(run.returncode, 0, (run.stdout + run.stderr).decode("latin-1"))
        new = [data for (sub, _, data) in self.rig.maildir(BOB).files().values() if sub == "new"]
        self.assertEqual(len(new), 1)
        self.assertIn(b"Subject: from mutt\r\n", new[0])
        self.assertIn(b"From: Demo <demo@zorvane.test>\r\n", new[0])
        self.assertTrue(new[0].endswith(b"\r\n\r\n" + body.replace(b"\n", b"\r\n")), new[0])
        self.assertEqual(self.rig.stop_agent(), 0)
        with open(self.rig.log_file_path(), "rb") as f:
            log = f.read()
        self.assertIn(b"SMTP> HELO ", log)
        self.assertNotIn(b"SMTP> EHLO", log)


if __name__ == "__main__":
    e2e.main()
