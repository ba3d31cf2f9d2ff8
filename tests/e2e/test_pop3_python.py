"""Python's poplib against the headless agent and zorvane-service: a whole
read, mark, delete and quit cycle, with what each option leaves in the
Maildir afterwards."""

import poplib

import zorvane_e2e as e2e

SMALL_LF = "1733000001.M1P1.e2e"
SMALL_CRLF = "1733000002.M2P1.e2e"
AT_THRESHOLD = "1733000003.M3P1.e2e"
ABOVE_THRESHOLD = "1733000004.M4P1.e2e"
LARGE = "1733000005.M5P1.e2e"
MEDIUM = "1733000006.M6P1.e2e"
ALREADY_READ = "1733000007.M7P1.e2e"

# bytes: TOP with no body lines of a larger message needs no download
HEADERS_FROM_PROPERTIES_ABOVE = 10000


def fill_inbox(rig):
    inbox = rig.maildir()
    stored = {
        SMALL_LF: e2e.message_bytes(1, body_bytes=300),
        SMALL_CRLF: e2e.message_bytes(2, body_bytes=900, crlf=True),
        AT_THRESHOLD: e2e.sized_message(3, e2e.LARGE_MESSAGE_THRESHOLD),
        ABOVE_THRESHOLD: e2e.sized_message(4, e2e.LARGE_MESSAGE_THRESHOLD + 1),
        LARGE: e2e.message_bytes(5, body_bytes=180000),
        MEDIUM: e2e.message_bytes(6, body_bytes=20000,
                                  extra_headers=b"Content-Type: text/plain;\n\tcharset=\"iso-8859-1\"\n"),
    }
    for unique, data in stored.items():
        inbox.deliver(unique, data)
    stored[ALREADY_READ] = e2e.message_bytes(7, body_bytes=500)
    inbox.deliver(ALREADY_READ, stored[ALREADY_READ], seen=True)
    return stored


def header_section(wire):
    end = wire.index(b"\r\n\r\n") + 4
    return wire[:end]


class PopSession:
    """A logged-in poplib client with helpers that undo the POP3 framing."""

    def __init__(self, rig, user="demo", password="demo"):
        self.pop = rig.pop3()
        self.greeting = self.pop.getwelcome()
        self.user_reply = self.pop.user(user)
        self.pass_reply = self.pop.pass_(password)

    def listing(self):
        _, lines, _ = self.pop.list()
        return {int(n): int(size) for n, size in (line.split() for line in lines)}

    def retrieve(self, number):
        _, lines, _ = self.pop.retr(number)
        return b"\r\n".join(e2e.drop_keep_alive_lines(lines)) + b"\r\n"

    def top(self, number, count):
        _, lines, _ = self.pop.top(number, count)
        return b"\r\n".join(lines) + b"\r\n"

    def numbers_by_unique(self, stored):
        """Which message number holds which stored file, found by content."""
        by_digest = {e2e.digest(e2e.wire_form(data)): unique for unique, data in stored.items()}
        found = {}
        for number in self.listing():
            found[by_digest.get(e2e.digest(self.retrieve(number)), "unknown #%d" % number)] = number
        return found


class ReadingTest(e2e.RigTestCase):
    """What the client reads equals the Maildir, whatever path a message takes."""

    def setUp(self):
        self.rig = self.make_rig()
        self.stored = fill_inbox(self.rig)
        self.rig.start()
        self.session = PopSession(self.rig)
        self.addCleanup(self.session.pop.quit)

    def test_login_and_counts(self):
        self.assertEqual(self.session.greeting, b"+OK Zorvane Welcome")
        self.assertEqual(self.session.user_reply, b"+OK password required")
        self.assertEqual(self.session.pass_reply, b"+OK logged in")
        count, octets = self.session.pop.stat()
        wires = [e2e.wire_form(d) for d in self.stored.values()]
        self.assertEqual(count, len(wires))
        self.assertEqual(octets, sum(len(w) for w in wires))
        self.assertEqual(sorted(self.session.listing().values()), sorted(len(w) for w in wires))

    def test_unique_ids_are_distinct_and_stable(self):
        _, lines, _ = self.session.pop.uidl()
        ids = dict(line.split() for line in lines)
        self.assertEqual(len(ids), len(self.stored))
        self.assertEqual(len(set(ids.values())), len(self.stored))
        for number, uid in ids.items():
            self.assertEqual(self.session.pop.uidl(int(number)).split()[2], uid)

    def test_every_message_equals_its_file_in_wire_form(self):
        listing = self.session.listing()
        received = []
        for number, size in listing.items():
            text = self.session.retrieve(number)
            self.assertEqual(len(text), size, "message #%d differs from its listed size" % number)
            received.append(text)
        self.assertMessagesEqual(received, [e2e.wire_form(d) for d in self.stored.values()], "RETR")

    def test_direct_and_asynchronous_paths_at_the_threshold(self):
        numbers = self.session.numbers_by_unique(self.stored)
        for unique in (AT_THRESHOLD, ABOVE_THRESHOLD, LARGE):
            self.assertIn(unique, numbers)
            wire = e2e.wire_form(self.stored[unique])
            # The second fetch must give the same bytes as the first.
            self.assertEqual(self.session.retrieve(numbers[unique]), wire, unique)

    def test_top_gives_headers_and_the_asked_body_lines(self):
        numbers = self.session.numbers_by_unique(self.stored)
        for unique in (SMALL_LF, SMALL_CRLF, MEDIUM, LARGE):
            wire = e2e.wire_form(self.stored[unique])
            head = header_section(wire)
            body_lines = wire[len(head):].split(b"\r\n")
            if len(wire) > HEADERS_FROM_PROPERTIES_ABOVE:
                # Built from the message's properties without fetching it:
                # the header lines, one line with the message's name and the
                # empty line that ends the header section.
                expected = head[:-2] + b"X-Zorvane-Id: <" + unique.encode() + b"@zorvane.test>\r\n\r\n"
                for count in (0, -1):
                    self.assertEqual(self.session.top(numbers[unique], count), expected, "TOP %s %d" % (unique, count))
            else:
                # Without body lines the header section alone, with exactly
                # one empty line after it.
                for count in (0, -1):
                    self.assertEqual(self.session.top(numbers[unique], count), head, "TOP %s %d" % (unique, count))
            # The cut text is closed by one empty line of its own.
            for count in (1, 3):
                expected = head + b"".join(line + b"\r\n" for line in body_lines[:count]) + b"\r\n"
                self.assertEqual(self.session.top(numbers[unique], count), expected,
                                 "TOP %s %d" % (unique, count))
            whole = self.session.top(numbers[unique], len(body_lines) + 5)
            self.assertEqual(whole, wire, "TOP %s beyond its last line" % unique)

    def test_bad_arguments_are_refused_and_the_dialogue_goes_on(self):
        count = len(self.stored)
        for command in ("RETR 0", "RETR %d" % (count + 1), "LIST -1", "LIST x", "TOP 1"):
            with self.assertRaises(poplib.error_proto, msg=command):
                self.session.pop._shortcmd(command)
        self.assertEqual(self.session.pop.stat()[0], count)


class UnreadOnlyTest(e2e.RigTestCase):
    preferences = {"ListUnreadOnly": "1"}

    def test_messages_with_the_read_flag_are_not_listed(self):
        rig = self.make_rig()
        stored = fill_inbox(rig)
        rig.start()
        session = PopSession(rig)
        self.addCleanup(session.pop.quit)
        unread = {u: d for u, d in stored.items() if u != ALREADY_READ}
        self.assertEqual(session.pop.stat()[0], len(unread))
        received = [session.retrieve(n) for n in session.listing()]
        self.assertMessagesEqual(received, [e2e.wire_form(d) for d in unread.values()], "unread only")


class SlowServiceTest(e2e.RigTestCase):
    """A large message from a service slower than the keep-alive tick."""

    SERVICE_DELAY_S = 8  # longer than the 5 s between the busy lines, with room to spare

    def test_keep_alive_lines_precede_the_whole_message(self):
        rig = self.make_rig(relay_delay_s=self.SERVICE_DELAY_S)
        stored = e2e.message_bytes(1, body_bytes=80000)
        rig.maildir().deliver(LARGE, stored)
        rig.start()
        session = PopSession(rig)
        self.addCleanup(session.pop.quit)
        self.assertEqual(session.pop.stat()[0], 1)
        rig.relay.slow.set()
        reply, lines, _ = session.pop.retr(1)
        rig.relay.slow.clear()
        wire = e2e.wire_form(stored)
        self.assertEqual(reply, b"+OK %d" % len(wire))
        busy = len(lines) - len(e2e.drop_keep_alive_lines(lines))
        self.assertGreaterEqual(busy, 1, "no busy line while the service took %d s" % self.SERVICE_DELAY_S)
        self.assertEqual(b"\r\n".join(lines[busy:]) + b"\r\n", wire)
        # The dialogue goes on normally afterwards.
        self.assertEqual(session.pop.stat()[0], 1)


class UpdatePhaseTest(e2e.RigTestCase):
    """DELE and QUIT with each choice of the two server options."""

    DELETED = (SMALL_CRLF, ABOVE_THRESHOLD)

    def run_cycle(self, mark_read, delete, reset=False):
        rig = self.make_rig(preferences={"MarkReadOnServer": mark_read, "DeleteOnServer": delete})
        stored = fill_inbox(rig)
        before = rig.maildir().files()
        rig.start()
        session = PopSession(rig)
        numbers = session.numbers_by_unique(stored)
        for unique in self.DELETED:
            reply = session.pop.dele(numbers[unique])
            self.assertTrue(reply.startswith(b"+OK"), reply)
        if reset:
            self.assertTrue(session.pop.rset().startswith(b"+OK"))
        self.assertTrue(session.pop.quit().startswith(b"+OK"))
        return rig, stored, before

    def test_both_off_changes_nothing(self):
        rig, _, before = self.run_cycle("0", "0")
        self.assertEqual(rig.maildir().files(), before)
        self.assertEqual(rig.maildir().folder(".Deleted Items").files(), {})

    def test_mark_read_sets_the_seen_flag_of_deleted_messages_only(self):
        rig, stored, before = self.run_cycle("1", "0")
        after = rig.maildir().files()
        self.assertEqual(set(after), set(before))
        for unique in stored:
            sub, flags, data = after[unique]
            self.assertEqual(data, stored[unique], unique)
            if unique in self.DELETED or unique == ALREADY_READ:
                self.assertEqual(sub, "cur", unique)
                self.assertIn("S", flags, unique)
            else:
                self.assertEqual(after[unique], before[unique], unique)
        self.assertEqual(rig.maildir().folder(".Deleted Items").files(), {})

    def test_delete_moves_deleted_messages_to_deleted_items(self):
        rig, stored, before = self.run_cycle("0", "1")
        after = rig.maildir().files()
        self.assertEqual(set(after), set(before) - set(self.DELETED))
        for unique in after:
            self.assertEqual(after[unique], before[unique], unique)
        moved = rig.maildir().folder(".Deleted Items").messages()
        self.assertMessagesEqual(moved, [stored[u] for u in self.DELETED], "deleted items")

    def test_both_on_marks_and_moves(self):
        rig, stored, before = self.run_cycle("1", "1")
        self.assertEqual(set(rig.maildir().files()), set(before) - set(self.DELETED))
        moved = rig.maildir().folder(".Deleted Items").messages()
        self.assertMessagesEqual(moved, [stored[u] for u in self.DELETED], "deleted items")

    def test_reset_forgets_the_marks(self):
        rig, _, before = self.run_cycle("1", "1", reset=True)
        self.assertEqual(rig.maildir().files(), before)
        self.assertEqual(rig.maildir().folder(".Deleted Items").files(), {})


if __name__ == "__main__":
    e2e.main()
