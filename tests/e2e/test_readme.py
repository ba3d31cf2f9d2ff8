"""The mail client command lines of the README, run as printed (only the
demo's ports are replaced by the test's) against the demo service, with the
agent's default options, the way a newcomer would type them into a shell on
a terminal: fetchmail into a Maildir, curl sending a file, mutt reading and
sending. The lines are read from the README, so the two cannot drift apart."""

import os
import pty
import re
import select
import signal
import subprocess
import time

import zorvane_e2e as e2e

e2e.require_programs("bash", "fetchmail", "mutt", "curl")

README = os.path.join(os.environ.get("ZORVANE_SOURCE_DIR",
                                     os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")),
                      "README.md")
SECTION = "## Pointing a mail client at Zorvane"
DEMO_POP3_PORT = "1110"
DEMO_SMTP_PORT = "1025"
DEMO_INBOX_SIZE = 5
ADDRESS = "demo@zorvane.test"


def readme_commands():
    """The indented command lines of the README's section on mail clients,
    by the program they start."""
    with open(README, encoding="utf-8") as f:
        text = f.read()
    section = text[text.index(SECTION):]
    section = section[:section.index("\n## ", len(SECTION))]
    commands = {}
    for line in section.splitlines():
        if line.startswith("    ") and line.strip():
            command = line.strip()
            commands.setdefault(command.split()[0], []).append(command)
    return commands


class Terminal:
    """A command run by bash on a pseudo-terminal of its own, read as it
    draws and answered like a person at the keyboard."""

    def __init__(self, command, env, cwd):
        self.pid, self.master = pty.fork()
        if self.pid == 0:
            try:
                os.chdir(cwd)
                os.execvpe("bash", ["bash", "-c", command], env)
            finally:
                os._exit(127)
        self.screen = bytearray()
        self.seen = 0  # what an expect() has already matched

    def _read(self, deadline):
        ready, _, _ = select.select([self.master], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            return True
        try:
            chunk = os.read(self.master, 65536)
        except OSError:  # the terminal is gone: the program has ended
            return False
        if not chunk:
            return False
        self.screen += chunk
        return True

    def expect(self, pattern, deadline_s=e2e.CLIENT_DEADLINE_S):
        """Waits until the program draws something matching pattern."""
        deadline = time.monotonic() + deadline_s
        regex = re.compile(pattern)
        while True:
            match = regex.search(bytes(self.screen), self.seen)
            if match:
                self.seen = match.end()
                return match
            if time.monotonic() >= deadline or not self._read(deadline):
                raise AssertionError("%r never showed; the screen:\n%s"
                                     % (pattern, bytes(self.screen).decode("latin-1")))

    def type(self, keys):
        os.write(self.master, keys)

    def finish(self, deadline_s=e2e.CLIENT_DEADLINE_S):
        """The exit status once the program has ended (and so let go of
        its terminal)."""
        deadline = time.monotonic() + deadline_s
        while self._read(deadline):
            if time.monotonic() >= deadline:
                os.kill(self.pid, signal.SIGKILL)
                os.waitpid(self.pid, 0)
                raise AssertionError("the program did not end; the screen:\n%s"
                                     % bytes(self.screen).decode("latin-1"))
        _, status = os.waitpid(self.pid, 0)
        os.close(self.master)
        return os.waitstatus_to_exitcode(status)


def without_received_lines(message):
    """fetchmail puts a Received: header (folded over several lines) on top."""
    lines = message.split(b"\n")
    at = 0
    while at < len(lines) and (lines[at].startswith(b"Received:") or (at and lines[at][:1] in (b" ", b"\t"))):
        at += 1
    return b"\n".join(lines[at:])


class ReadmeCommandsTest(e2e.RigTestCase):

    def setUp(self):
        self.commands = readme_commands()
        for program in ("mkdir", "fetchmail", "curl", "mutt"):
            self.assertIn(program, self.commands, "the README shows no %s line" % program)
        # The agent with the options of a fresh installation.
        self.rig = self.make_rig(demo=True, preferences={"ListUnreadOnly": "1", "MarkReadOnServer": "1"})
        self.rig.start()
        self.env = self.rig.environment()
        self.env.update({"TERM": "vt100", "MAIL": os.path.join(self.rig.home, "spool")})

    def as_printed(self, command):
        return command.replace(DEMO_POP3_PORT, str(self.rig.pop3_port)).replace(DEMO_SMTP_PORT,
                                                                                 str(self.rig.smtp_port))

    def inbox(self):
        return self.rig.maildir().messages()

    def test_fetch_send_and_read_as_the_readme_shows(self):
        stored = self.inbox()
        self.assertEqual(len(stored), DEMO_INBOX_SIZE)

        for command in self.commands["mkdir"]:
            subprocess.run(["bash", "-c", self.as_printed(command)], env=self.env, cwd=self.rig.home,
                           check=True, timeout=e2e.CLIENT_DEADLINE_S)
        self.fetch_into_the_maildir(stored)
        self.send_a_file_with_curl()
        self.read_and_send_with_mutt()

    def fetch_into_the_maildir(self, stored):
        (command,) = self.commands["fetchmail"]
        fetchmail = Terminal(self.as_printed(command), self.env, self.rig.home)
        fetchmail.expect(rb"(?i)password[^\r\n]*: ")
        fetchmail.type(b"demo\n")
        status = fetchmail.finish()
        self.assertEqual(status, 0, bytes(fetchmail.screen).decode("latin-1"))
        maildir = e2e.Maildir(os.path.join(self.rig.home, "Maildir"), create=False)
        delivered = [without_received_lines(m) for m in maildir.messages()]
        # Every demo message, unread as created, in a real Maildir.
        self.assertMessagesEqual(delivered, [e2e.lf_form(m) for m in stored], "messages in ~/Maildir")
        self.assertEqual(os.listdir(os.path.join(maildir.root, "tmp")), [])

    def send_a_file_with_curl(self):
        (command,) = self.commands["curl"]
        with open(os.path.join(self.rig.home, "message.txt"), "wb") as f:
            f.write(b"From: demo@zorvane.test\r\nTo: demo@zorvane.test\r\nSubject: sent by curl\r\n\r\n"
                    b"As the README shows.\r\n")
        run = subprocess.run(["bash", "-c", self.as_printed(command)], env=self.env, cwd=self.rig.home,
                             capture_output=True, timeout=e2e.CLIENT_DEADLINE_S)
        self.assertEqual(run.returncode, 0, (run.stdout + run.stderr).decode("latin-1"))
        self.assertTrue(any(b"Subject: sent by curl\r\n" in m for m in self.inbox()))

    def read_and_send_with_mutt(self):
        (command,) = self.commands["mutt"]
        editor = os.path.join(self.rig.home, "editor")
        with open(editor, "w") as f:
            f.write('#!/bin/sh\necho "Written in mutt." >> "$1"\n')
        os.chmod(editor, 0o700)
        env = dict(self.env, EDITOR=editor, VISUAL=editor)
        mutt = Terminal(self.as_printed(command), env, self.rig.home)
        # A first start offers to create the folder for saved mail.
        if mutt.expect(rb"Create it\? \(\[yes\]/no\)|Password for demo@127\.0\.0\.1: ").group(0).startswith(b"Create"):
            mutt.type(b"y")
            mutt.expect(rb"Password for demo@127\.0\.0\.1: ")
        mutt.type(b"demo\r")
        # The index lists all: the demo's five, unread as created, and the
        # one curl sent.
        mutt.expect(rb"Msgs:%d New:%d " % (DEMO_INBOX_SIZE + 1, DEMO_INBOX_SIZE + 1))
        for subject in (b"Notes with dots", b"Welcome to Zorvane", b"sent by curl"):
            self.assertIn(subject, bytes(mutt.screen))
        mutt.type(b"m")
        mutt.expect(rb"To: ")
        mutt.type(ADDRESS.encode() + b"\r")
        mutt.expect(rb"Subject: ")
        mutt.type(b"sent by mutt\r")
        mutt.expect(rb"y:Send")
        mutt.type(b"y")
        mutt.expect(rb"Mail sent\.")
        mutt.type(b"q")
        status = mutt.finish()
        self.assertEqual(status, 0, bytes(mutt.screen).decode("latin-1"))
        sent = [m for m in self.inbox() if b"Subject: sent by mutt\r\n" in m]
        self.assertEqual(len(sent), 1)
        self.assertRegex(sent[0], rb"(?m)^From: (.*<)?demo@zorvane\.test>?\r$")
        self.assertTrue(sent[0].endswith(b"\r\n\r\nWritten in mutt.\r\n"), sent[0])


if __name__ == "__main__":
    e2e.main()
