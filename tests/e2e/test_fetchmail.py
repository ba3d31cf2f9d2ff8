"""fetchmail downloads a mailbox of 200 messages through the agent, in keep
mode, again with --fetchall, and once deleting; every delivered message must
equal its Maildir file."""

import os
import subprocess

import zorvane_e2e as e2e

e2e.require_programs("fetchmail")

MAILBOX_SIZE = 200
LARGE_EVERY = 20    # every 20th message is above the asynchronous threshold
CRLF_EVERY = 10     # every 10th file was written with CR LF line ends


def mailbox():
    messages = {}
    for n in range(1, MAILBOX_SIZE + 1):
        body = 60000 + 97 * n if n % LARGE_EVERY == 0 else 200 + 13 * n
        messages["1733001%03d.M%dP7.e2e" % (n, n)] = e2e.message_bytes(n, body_bytes=body,
                                                                       crlf=(n % CRLF_EVERY == 3))
    return messages


class FetchmailTest(e2e.RigTestCase):

    def start(self, **preferences):
        self.rig = self.make_rig(preferences=preferences)
        self.stored = mailbox()
        inbox = self.rig.maildir()
        for unique, data in self.stored.items():
            inbox.deliver(unique, data)
        self.rig.start()
        self.rc = os.path.join(self.rig.home, "fetchmailrc")
        with open(self.rc, "w") as f:
            f.write("set no syslog\nset no bouncemail\nset invisible\n"
                    "poll 127.0.0.1 protocol pop3 port %d timeout %d\n"
                    "  user \"demo\" password \"demo\"\n"
                    "  options sslproto '' no rewrite no mimedecode\n"
                    % (self.rig.pop3_port, e2e.SOCKET_TIMEOUT_S))
        os.chmod(self.rc, 0o600)
        self.runs = 0

    def fetch(self, *options):
        """One fetchmail run; returns its exit status and what it delivered."""
        self.runs += 1
        folder = os.path.join(self.rig.base, "delivered-%d" % self.runs)
        os.mkdir(folder)
        command = ["fetchmail", "--fetchmailrc", self.rc, "--idfile", os.path.join(self.rig.home, "fetchids"),
                   "--pidfile", os.path.join(self.rig.runtime_dir, "fetchmail.pid"), "--nodetach",
                   "--mda", "cat > \"$(mktemp -p '%s' msg.XXXXXX)\"" % folder] + list(options)
        env = self.rig.environment()
        run = subprocess.run(command, capture_output=True, env=env, timeout=e2e.CLIENT_DEADLINE_S)
        delivered = []
        for name in sorted(os.listdir(folder)):
            with open(os.path.join(folder, name), "rb") as f:
                delivered.append(f.read())
        self.log = run.stdout + run.stderr
        return run.returncode, delivered

    def expected(self):
        # fetchmail hands an MDA lines ending in LF alone.
        return [e2e.lf_form(data) for data in self.stored.values()]

    def test_keep_mode_then_fetchall(self):
        self.start()
        before = self.rig.maildir().files()

        status, delivered = self.fetch("--keep")
        self.assertEqual(status, 0, self.log)
        self.assertMessagesEqual(delivered, self.expected(), "first keep run")

        # The unique ids tell fetchmail that it has seen every message.
        status, delivered = self.fetch("--keep")
        self.assertEqual(status, 1, self.log)  # 1: no new mail
        self.assertEqual(delivered, [])

        status, delivered = self.fetch("--keep", "--fetchall")
        self.assertEqual(status, 0, self.log)
        self.assertMessagesEqual(delivered, self.expected(), "fetchall run")

        self.assertEqual(self.rig.maildir().files(), before)

    def test_fetch_and_delete(self):
        self.start(DeleteOnServer="1")
        status, delivered = self.fetch("--nokeep", "--fetchall")
        self.assertEqual(status, 0, self.log)
        self.assertMessagesEqual(delivered, self.expected(), "deleting run")
        self.assertEqual(self.rig.maildir().files(), {})
        moved = self.rig.maildir().folder(".Deleted Items").messages()
        self.assertMessagesEqual(moved, list(self.stored.values()), "deleted items")


if __name__ == "__main__":
    e2e.main()
