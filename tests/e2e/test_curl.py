"""curl reads over pop3:// and sends over smtp:// through the agent."""

import os
import subprocess

import zorvane_e2e as e2e

e2e.require_programs("curl")

BOB = "bob@zorvane.test"
ACCOUNTS = {"demo@zorvane.test": "demo", BOB: "bob"}


def curl(*arguments, stdin=None):
    run = subprocess.run(["curl", "--silent", "--show-error", "--max-time", str(e2e.CLIENT_DEADLINE_S)]
                         + list(arguments), input=stdin, capture_output=True,
                         timeout=e2e.CLIENT_DEADLINE_S + 30)
    if run.returncode != 0:
        raise AssertionError("curl %s failed (%d): %s" % (" ".join(arguments), run.returncode,
                                                           run.stderr.decode("latin-1")))
    return run.stdout


class CurlTest(e2e.RigTestCase):
    accounts = ACCOUNTS

    def setUp(self):
        self.rig = self.make_rig()
        inbox = self.rig.maildir()
        self.rig.maildir(BOB)
        self.stored = [e2e.message_bytes(1, body_bytes=500),
                       e2e.message_bytes(2, body_bytes=3000, crlf=True),
                       e2e.message_bytes(3, body_bytes=90000)]
        for number, data in enumerate(self.stored, 1):
            inbox.deliver("1733000200.M%dP1.e2e" % number, data)
        self.rig.start()
        self.url = "pop3://127.0.0.1:%d/" % self.rig.pop3_port

    def test_list_and_retrieve_over_pop3(self):
        listing = curl("--user", "demo:demo", self.url)
        sizes = {}
        for line in listing.splitlines():
            number, size = line.split()
            sizes[int(number)] = int(size)
        self.assertEqual(sorted(sizes.values()), sorted(len(e2e.wire_form(d)) for d in self.stored))
        received = []
        for number in sorted(sizes):
            text = curl("--user", "demo:demo", self.url + str(number))
            lines = e2e.drop_keep_alive_lines(text.split(b"\r\n"))
            received.append(b"\r\n".join(lines))
        self.assertMessagesEqual(received, [e2e.wire_form(d) for d in self.stored], "curl pop3")
        # Reading changed nothing on the server.
        self.assertMessagesEqual(self.rig.maildir().messages(), self.stored, "inbox after reading")

    def test_wrong_password_fails(self):
        run = subprocess.run(["curl", "--silent", "--user", "demo:wrong", self.url], capture_output=True,
                             timeout=e2e.CLIENT_DEADLINE_S)
        self.assertNotEqual(run.returncode, 0)
        self.assertEqual(run.stdout, b"")

    def test_send_over_smtp_after_reading(self):
        curl("--user", "demo:demo", self.url)  # the POP3 login stores the password
        message = (b"From: demo@zorvane.test\r\nTo: bob@zorvane.test\r\nSubject: by curl\r\n\r\n"
                   b"Sent by curl.\r\n.\r\n..two\r\n.one\r\nend\r\n")
        path = os.path.join(self.rig.base, "outgoing.eml")
        with open(path, "wb") as f:
            f.write(message)
        curl("smtp://127.0.0.1:%d" % self.rig.smtp_port, "--mail-from", "demo@zorvane.test",
             "--mail-rcpt", BOB, "--upload-file", path)
        new = [data for (sub, _, data) in self.rig.maildir(BOB).files().values() if sub == "new"]
        self.assertEqual(new, [message])


if __name__ == "__main__":
    e2e.main()
