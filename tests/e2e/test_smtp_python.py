"""Python's smtplib against the headless agent and zorvane-service: the
EHLO refusal and HELO fallback, submissions that arrive byte for byte, the
copy in the sent items, and a sender that never logged in over POP3."""

import smtplib

import zorvane_e2e as e2e

DEMO = "demo@zorvane.test"
BOB = "bob@zorvane.test"
NEVER_LOGGED_IN = "carol@zorvane.test"
ACCOUNTS = {DEMO: "demo", BOB: "bob-secret", NEVER_LOGGED_IN: "carol-secret"}


def outgoing_message(tag, body_lines=40):
    """CR LF lines, some led by dots, one of a single dot, 8-bit bytes."""
    lines = [b"From: Demo <demo@zorvane.test>",
             b"To: Bob <bob@zorvane.test>",
             b"Subject: submission %s" % tag,
             b"Message-ID: <%s@e2e.zorvane.test>" % tag,
             b"",
             b"First line of %s." % tag,
             b".",
             b"..",
             b".leading dot",
             b"..leading dots",
             b"caf\xe9 \xff"]
    lines += [b"body line %04d of %s" % (i, tag) for i in range(body_lines)]
    return b"\r\n".join(lines) + b"\r\n"


def arrived(maildir):
    """Messages delivered to an inbox and not yet read."""
    return [data for (sub, _, data) in maildir.files().values() if sub == "new"]


class SubmissionTest(e2e.RigTestCase):
    accounts = ACCOUNTS

    def start(self, save_sent):
        self.rig = self.make_rig(preferences={"SaveSentItems": save_sent})
        for address in ACCOUNTS:
            self.rig.maildir(address)
        self.rig.start()
        e2e.pop3_login_once(self.rig, "demo", "demo")

    def connect(self):
        smtp = self.rig.smtp()
        self.addCleanup(smtp.close)
        return smtp

    def test_ehlo_is_refused_and_helo_is_taken(self):
        self.start("0")
        smtp = self.connect()
        self.assertEqual(smtp.ehlo()[0], 502)
        code, text = smtp.helo()
        self.assertEqual((code, text), (250, b"Zorvane"))
        self.assertFalse(smtp.does_esmtp)
        self.assertEqual(smtp.quit()[0], 221)

    def test_message_arrives_byte_for_byte_with_a_sent_copy(self):
        self.start("1")
        message = outgoing_message(b"with-copy")
        smtp = self.connect()
        refused = smtp.sendmail(DEMO, [BOB], message)
        self.assertEqual(refused, {})
        smtp.quit()
        self.assertEqual(arrived(self.rig.maildir(BOB)), [message])
        sent = self.rig.maildir(DEMO).folder(".Sent Items").files()
        self.assertEqual([data for (_, _, data) in sent.values()], [message])
        self.assertTrue(all("S" in flags for (_, flags, _) in sent.values()))
        self.assertEqual(self.rig.maildir(BOB).folder(".Sent Items").files(), {})

    def test_without_the_option_no_copy_is_kept(self):
        self.start("0")
        message = outgoing_message(b"no-copy")
        smtp = self.connect()
        smtp.sendmail(DEMO, [BOB, DEMO], message)
        smtp.quit()
        self.assertEqual(arrived(self.rig.maildir(BOB)), [message])
        self.assertEqual(arrived(self.rig.maildir(DEMO)), [message])
        self.assertEqual(self.rig.maildir(DEMO).folder(".Sent Items").files(), {})

    def test_one_dialogue_sends_several_messages_large_ones_included(self):
        self.start("0")
        messages = [outgoing_message(b"first"),
                    outgoing_message(b"large", body_lines=20000),
                    outgoing_message(b"third")]
        smtp = self.connect()
        for message in messages:
            self.assertEqual(smtp.sendmail(DEMO, [BOB], message), {})
        smtp.quit()
        self.assertMessagesEqual(arrived(self.rig.maildir(BOB)), messages, "bob's inbox")

    def test_outside_recipients_go_to_the_outbox(self):
        self.start("0")
        message = outgoing_message(b"outside")
        smtp = self.connect()
        smtp.sendmail(DEMO, ["ann@example.org"], message)
        smtp.quit()
        outbox = e2e.Maildir(self.rig.data + "/outbox", create=False).messages()
        self.assertEqual(len(outbox), 1)
        self.assertTrue(outbox[0].endswith(message))
        self.assertIn(b"X-Zorvane-Envelope-To: <ann@example.org>", outbox[0])

    def test_sender_without_a_pop3_login_is_refused(self):
        self.start("1")
        smtp = self.connect()
        with self.assertRaises(smtplib.SMTPSenderRefused) as refusal:
            smtp.sendmail(NEVER_LOGGED_IN, [BOB], outgoing_message(b"refused"))
        self.assertEqual(refusal.exception.smtp_code, 451)
        self.assertEqual(refusal.exception.smtp_error, b"No valid user name. Receive first, then try again.")
        smtp.quit()
        self.assertEqual(arrived(self.rig.maildir(BOB)), [])
        self.assertEqual(self.rig.maildir(NEVER_LOGGED_IN).folder(".Sent Items").files(), {})


if __name__ == "__main__":
    e2e.main()
