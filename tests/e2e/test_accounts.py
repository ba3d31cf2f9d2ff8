"""The stored account passwords: they survive a restart of the agent, and
with two accounts logged in each message goes out as its own sender."""

import smtplib

import zorvane_e2e as e2e

ALICE = "alice@zorvane.test"
BOB = "bob@zorvane.test"
ACCOUNTS = {ALICE: "alice-pw-1", BOB: "bob-pw-2", "demo@zorvane.test": "demo"}


def message(sender, tag):
    return (b"From: %s\r\nTo: demo@zorvane.test\r\nSubject: %s\r\n\r\nSent by %s.\r\n"
            % (sender.encode(), tag, sender.encode()))


class StoredAccountTest(e2e.RigTestCase):
    accounts = ACCOUNTS
    preferences = {"SaveSentItems": "1"}

    def setUp(self):
        self.rig = self.make_rig()
        for address in ACCOUNTS:
            self.rig.maildir(address)
        self.rig.start()

    def send(self, sender, tag):
        smtp = self.rig.smtp()
        try:
            refused = smtp.sendmail(sender, ["demo@zorvane.test"], message(sender, tag))
        finally:
            smtp.quit()
        self.assertEqual(refused, {})

    def sent_items(self, address):
        return sorted(data for (_, _, data) in self.rig.maildir(address).folder(".Sent Items").files().values())

    def test_a_restart_between_login_and_sending_keeps_the_password(self):
        e2e.pop3_login_once(self.rig, "alice", ACCOUNTS[ALICE])
        self.assertEqual(self.rig.stop_agent(), 0)
        self.rig.start_agent()
        self.send(ALICE, b"after-restart")
        self.assertEqual(self.sent_items(ALICE), [message(ALICE, b"after-restart")])

    def test_the_stored_password_is_not_plain_text(self):
        e2e.pop3_login_once(self.rig, "alice", ACCOUNTS[ALICE])
        with open(self.rig.settings_path(), "rb") as f:
            settings = f.read()
        self.assertIn(b"[AccountInfo]", settings)
        self.assertNotIn(ACCOUNTS[ALICE].encode(), settings)

    def test_two_logged_in_accounts_each_send_as_themselves(self):
        e2e.pop3_login_once(self.rig, "alice", ACCOUNTS[ALICE])
        e2e.pop3_login_once(self.rig, "bob", ACCOUNTS[BOB])
        # Bob logged in last: Alice's message must still go out through her
        # own login, and Bob's through his.
        self.send(ALICE, b"from-alice")
        self.send(BOB, b"from-bob")
        self.send(ALICE, b"from-alice-again")
        self.assertEqual(self.sent_items(ALICE), sorted([message(ALICE, b"from-alice"),
                                                         message(ALICE, b"from-alice-again")]))
        self.assertEqual(self.sent_items(BOB), [message(BOB, b"from-bob")])

    def test_a_wrong_password_stores_nothing(self):
        import poplib
        pop = self.rig.pop3()
        pop.user("bob")
        with self.assertRaises(poplib.error_proto):
            pop.pass_("not-bobs-password")
        pop.quit()
        smtp = self.rig.smtp()
        with self.assertRaises(smtplib.SMTPSenderRefused):
            smtp.sendmail(BOB, ["demo@zorvane.test"], message(BOB, b"never"))
        smtp.quit()
        self.assertEqual(self.sent_items(BOB), [])


if __name__ == "__main__":
    e2e.main()
