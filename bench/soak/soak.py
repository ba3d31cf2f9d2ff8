#!/usr/bin/env python3
"""Soak run of the agent: many POP3 dialogues and SMTP submissions through the
headless Zorvane program against zorvane-service, some clients dropping at
random points. Now and then the service stalls (SIGSTOP) for 6 to 10 s, and a
POP3 and an SMTP client each send a command into the stall and leave before
the answer (USER, PASS, STAT, LIST, RETR of a small or a large message; HELO,
MAIL, the end of a message text). During some POP3 dialogues of one account a
second account submits a message over SMTP. At the end every message is
accounted for, and the agent's memory and descriptors are compared with what
they were after a warm-up.

    bench/soak/soak.py --build build [--pop3 2000] [--smtp 500] [--seed 1]
                       [--stall-every 100] [--second-account-rate 0.1]

Prints, and exits non-zero when a bound is broken:
    crashes of the agent (must be 0), messages accounted for, lost (must be 0),
    duplicated (must be 0: a submission retried after its answer was lost is
    stored once), moved without QUIT (0), phantom submissions (0: a client that
    dropped before the end of its message text sent nothing), submissions whose
    client left before the verdict (each stored wholly once or not at all),
    memory growth (VmRSS after minus before, bound --max-growth-kib),
    descriptor count (/proc/PID/fd before and after);
    then, for a client sending 100 MiB without a line end to the POP3 and the
    SMTP command phase, and a 100 MiB message text, the agent's peak VmRSS
    above what it held before (bounds --max-flood-kib, --max-message-flood-kib).

Only the Python standard library is used. Everything runs in a temporary
folder with its own settings, runtime and temp folders and free ports.
"""

import argparse
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

ACCOUNT = "user@zorvane.test"
PEER = "peer@zorvane.test"
PASSWORD = "soak-password"
PEER_PASSWORD = "other-password"
OUTSIDE = "ann@example.org"
GREETING_POP3 = b"+OK Zorvane Welcome\r\n"
GREETING_SMTP = b"220 Zorvane Simple Mail Transfer Service Ready\r\n"
KEEP_ALIVE = b"X-zorvane: busy...\r\n"

REPLY_TIMEOUT_S = 120      # one reply, a retried request behind it included
RELISTEN_TIMEOUT_S = 30    # the watchdog heals a dropped connection within 5 s
START_TIMEOUT_S = 60
INBOX_LOW_WATER = 6        # messages kept waiting in the inbox
INBOX_REFILL = 12
LARGE_EVERY = 7            # every n-th delivered message takes the background path
WARM_UP_POP3 = 30
WARM_UP_SMTP = 10
FLOOD_BYTES = 100 * 1024 * 1024
STALL_SECONDS = (6, 10)    # how long the service is stopped at a time
LEAVE_AFTER_S = 1          # a client in a stall leaves this long after its command


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def status_kib(pid, field):
    """A memory figure of /proc/PID/status ("VmRSS", "VmHWM"), in KiB."""
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return -1


def vm_rss_kib(pid):
    return status_kib(pid, "VmRSS")


def fd_count(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def reset_peak_rss(pid):
    """Restarts the kernel's VmHWM count for the process (Linux 4.0 and later)."""
    try:
        with open(f"/proc/{pid}/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_rss_kib(pid):
    return status_kib(pid, "VmHWM")


class Output(threading.Thread):
    """Drains a child's pipe so it never blocks; wakes waiters on news."""

    def __init__(self, pipe):
        super().__init__(daemon=True)
        self.pipe = pipe
        self.data = b""
        self.changed = threading.Condition()
        self.start()

    def run(self):
        for chunk in iter(lambda: self.pipe.read1(65536), b""):
            with self.changed:
                self.data += chunk
                self.changed.notify_all()

    def wait_for(self, pattern, timeout):
        end = time.monotonic() + timeout
        with self.changed:
            while not re.search(pattern, self.data):
                left = end - time.monotonic()
                if left <= 0:
                    return None
                self.changed.wait(left)
            return re.search(pattern, self.data)


class Connection:
    """A line-oriented client on a raw socket."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=REPLY_TIMEOUT_S)
        self.buffer = b""

    def send(self, data):
        self.sock.sendall(data)

    def line(self):
        while b"\r\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("closed by the agent: " + repr(self.buffer[:200]))
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line + b"\r\n"

    def command(self, text):
        self.send(text.encode() + b"\r\n")
        return self.line()

    def multi_line(self):
        while True:
            if self.buffer.startswith(b"-ERR") and b"\r\n" in self.buffer:
                return self.line()
            end = self.buffer.find(b"\r\n.\r\n")
            if end >= 0:
                data, self.buffer = self.buffer[:end + 5], self.buffer[end + 5:]
                return data
            chunk = self.sock.recv(1 << 20)
            if not chunk:
                raise ConnectionError("closed in a multi-line reply")
            self.buffer += chunk

    def drop(self, hard):
        if hard:  # a reset, as a crashing client leaves it
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        self.sock.close()

    def close(self):
        self.sock.close()


def connect_when_listening(port):
    """A dropped connection keeps the port shut until the watchdog heals it."""
    end = time.monotonic() + RELISTEN_TIMEOUT_S
    while True:
        try:
            return Connection(port)
        except ConnectionRefusedError:
            if time.monotonic() > end:
                raise
            time.sleep(0.05)


def unstuff(data):
    lines = data.split(b"\r\n")
    while lines and lines[0] + b"\r\n" == KEEP_ALIVE:
        lines.pop(0)
    if lines[-2:] == [b".", b""]:
        lines = lines[:-2]
    return b"\r\n".join(l[1:] if l.startswith(b".") else l for l in lines) + b"\r\n"


class Soak:
    def __init__(self, args):
        self.args = args
        self.rng = random.Random(args.seed)
        self.root = tempfile.mkdtemp(prefix="zorvane-soak-")
        self.data = os.path.join(self.root, "service")
        self.delivered = {}        # message id -> bytes, put into the inbox
        self.quit_deleted = set()  # ids whose DELE was followed by a completed QUIT
        self.accepted = set()      # submissions answered 250
        self.abandoned = set()     # submissions whose client left before the end marker
        self.second_accepted = set()  # submissions of the second account answered 250
        self.unanswered = set()    # submissions whose client left after the end marker, before the verdict
        self.crashes = 0
        self.next_in = 0
        self.next_out = 0
        self.counts = {"pop3 complete": 0, "pop3 dropped": 0, "smtp complete": 0, "smtp dropped": 0,
                       "retrieved": 0, "background retrievals": 0, "service stalls": 0,
                       "clients that left during a stall": 0, "second account submissions during POP3": 0}
        self.problems = []

    # --- the programs -------------------------------------------------------
    def start(self):
        bin_dir = os.path.abspath(os.path.join(self.args.build, "bin"))
        os.makedirs(self.data)
        with open(os.path.join(self.data, "accounts"), "w") as f:
            f.write(f"{ACCOUNT} {PASSWORD}\n{PEER} {PEER_PASSWORD}\n")
        for account in (ACCOUNT, PEER):
            for sub in ("new", "cur", "tmp"):
                os.makedirs(os.path.join(self.maildir(account), sub))
        self.service = subprocess.Popen([os.path.join(bin_dir, "zorvane-service"), "--data", self.data,
                                         "--port", "0", "--quiet"],
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.service_out = Output(self.service.stdout)
        urls = self.service_out.wait_for(rb"ServiceUrl=(\S+)\s+AltServiceUrl=(\S+)", START_TIMEOUT_S)
        if not urls:
            raise RuntimeError("the service printed no addresses: " + self.service_out.data.decode(errors="replace"))

        for sub in ("config/Zorvane", "runtime", "temp"):
            os.makedirs(os.path.join(self.root, sub))
        os.chmod(os.path.join(self.root, "runtime"), 0o700)
        self.pop3_port, self.smtp_port = free_port(), free_port()
        with open(os.path.join(self.root, "config/Zorvane/Zorvane.ini"), "w") as f:
            f.write("[Preferences]\nAutoStart=0\nLocalhostOnly=1\nDebugMode=0\nListUnreadOnly=1\n"
                    "MarkReadOnServer=1\nDeleteOnServer=1\nSaveSentItems=1\n"
                    f"Pop3Port={self.pop3_port}\nSmtpPort={self.smtp_port}\n"
                    f"ServiceUrl={urls.group(1).decode()}\nAltServiceUrl={urls.group(2).decode()}\n")
        env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(self.root, "config"),
                   XDG_RUNTIME_DIR=os.path.join(self.root, "runtime"), TMPDIR=os.path.join(self.root, "temp"),
                   QT_QPA_PLATFORM="offscreen")
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        self.agent = subprocess.Popen([os.path.join(bin_dir, "Zorvane")], env=env,
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.agent_out = Output(self.agent.stdout)
        if not self.agent_out.wait_for(rb"Zorvane \d+\.\d+ \(Rev\. \d+\)\n", START_TIMEOUT_S):
            raise RuntimeError("the agent did not start: " + self.agent_out.data.decode(errors="replace"))

    def stop(self):
        for process in (getattr(self, "agent", None), getattr(self, "service", None)):
            if process and process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(30)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        if not self.args.keep:
            shutil.rmtree(self.root, ignore_errors=True)

    def maildir(self, account):
        return os.path.join(self.data, "mail", account)

    # --- the inbox ------------------------------------------------------------
    def deliver(self):
        self.next_in += 1
        message_id = f"soak-in-{self.next_in}"
        body = b"".join(b"line %d of %s\r\n" % (i, message_id.encode()) for i in range(20))
        if self.next_in % LARGE_EVERY == 0:
            body += b"".join(b"padding %06d .............................................\r\n" % i for i in range(1200))
        body += b".\r\n..two dots\r\n"
        message = (f"From: Ann <{OUTSIDE}>\r\nTo: {ACCOUNT}\r\nSubject: {message_id}\r\n"
                   f"Message-ID: <{message_id}@soak>\r\n\r\n").encode() + body
        name = f"{int(time.time())}.M{self.next_in}P{os.getpid()}.soak"
        tmp = os.path.join(self.maildir(ACCOUNT), "tmp", name)
        with open(tmp, "wb") as f:
            f.write(message)
        os.rename(tmp, os.path.join(self.maildir(ACCOUNT), "new", name))
        self.delivered[message_id] = message

    def unread_waiting(self):
        return len(os.listdir(os.path.join(self.maildir(ACCOUNT), "new")))

    # --- POP3 -----------------------------------------------------------------
    def pop3_dialogue(self, drop_at=None, second_account_submits=False):
        """One dialogue; drop_at names the point where the client vanishes.
        With second_account_submits the second account sends a message to
        this one between LIST and the first RETR."""
        if self.unread_waiting() < INBOX_LOW_WATER:
            for _ in range(INBOX_REFILL):
                self.deliver()
        c = connect_when_listening(self.pop3_port)
        hard = self.rng.random() < 0.5
        try:
            self.expect(c.line(), GREETING_POP3, "greeting")
            if drop_at == "greeted":
                return c.drop(hard)
            self.expect(c.command("USER user"), b"+OK password required\r\n", "USER")
            if drop_at == "user":
                return c.drop(hard)
            self.expect(c.command("PASS " + PASSWORD), b"+OK logged in\r\n", "PASS")
            if drop_at == "pass":
                return c.drop(hard)
            stat = c.command("STAT")
            m = re.match(rb"\+OK (\d+) (\d+)\r\n", stat)
            if not m:
                self.problem(f"STAT answered {stat!r}")
                return c.close()
            count = int(m.group(1))
            c.send(b"LIST\r\n")
            sizes = [int(l.split()[1]) for l in c.multi_line().split(b"\r\n")[1:-2]]
            if len(sizes) != count:
                self.problem(f"LIST gave {len(sizes)} messages, STAT {count}")
            if second_account_submits:
                self.submission(sender=PEER)
                self.counts["second account submissions during POP3"] += 1
            picked = self.rng.sample(range(1, count + 1), min(count, self.rng.randint(1, 3)))
            deleted = []
            for n in picked:
                c.send(b"RETR %d\r\n" % n)
                if drop_at == "retr":
                    c.line()  # the status line, then gone in the middle of the text
                    return c.drop(hard)
                data = c.multi_line()
                status, _, text = data.partition(b"\r\n")
                if not status.startswith(b"+OK"):
                    self.problem(f"RETR {n} answered {status!r}")
                    continue
                message = unstuff(text)
                found = re.search(rb"Message-ID: <(soak-(?:in|second)-\d+)@soak>", message)
                if not found or self.delivered.get(found.group(1).decode()) != message:
                    self.problem(f"RETR {n} brought a message that was never delivered as such")
                    continue
                if len(message) != sizes[n - 1]:
                    self.problem(f"RETR {n}: {len(message)} octets, listed {sizes[n - 1]}")
                self.counts["retrieved"] += 1
                if sizes[n - 1] > 50000:
                    self.counts["background retrievals"] += 1
                if self.rng.random() < 0.6:
                    self.expect(c.command(f"DELE {n}"), b"+OK marked for deletion\r\n", "DELE")
                    deleted.append(found.group(1).decode())
            if drop_at == "dele":
                return c.drop(hard)
            quit_reply = c.command("QUIT")
            if quit_reply == b"+OK\r\n":
                self.quit_deleted.update(deleted)
            else:
                self.problem(f"QUIT answered {quit_reply!r}")
            c.close()
        except (OSError, ConnectionError) as error:
            self.problem(f"POP3 dialogue broke: {error}")
            c.close()

    def second_account_login(self):
        """A POP3 login of the second account keeps its password for sending."""
        c = connect_when_listening(self.pop3_port)
        try:
            self.expect(c.line(), GREETING_POP3, "greeting")
            self.expect(c.command("USER " + PEER.split("@")[0]), b"+OK password required\r\n", "USER")
            self.expect(c.command("PASS " + PEER_PASSWORD), b"+OK logged in\r\n", "PASS")
            self.expect(c.command("QUIT"), b"+OK\r\n", "QUIT")
        except (OSError, ConnectionError) as error:
            self.problem(f"second account login: {error}")
        c.close()

    # --- SMTP -----------------------------------------------------------------
    def outgoing(self, kind, sender, recipient):
        """A new message to submit: its id, its text and its DATA wire form."""
        self.next_out += 1
        message_id = f"soak-{kind}-{self.next_out}"
        text = (f"From: {sender}\r\nTo: {recipient}, {OUTSIDE}\r\nSubject: {message_id}\r\n"
                f"Message-ID: <{message_id}@soak>\r\n\r\n").encode()
        text += b"".join(b"line %d\r\n" % i for i in range(self.rng.randint(1, 400)))
        text += b".starts with a dot\r\n.\r\n..\r\nend\r\n"
        wire = b"".join((b"." + l if l.startswith(b".") else l) + b"\r\n" for l in text.split(b"\r\n")[:-1]) + b".\r\n"
        return message_id, text, wire

    def submission(self, drop_at=None, sender=ACCOUNT):
        """One submission from sender (the first account to the second, or the
        second to the first) and an outside recipient."""
        recipient = PEER if sender == ACCOUNT else ACCOUNT
        message_id, text, wire = self.outgoing("out" if sender == ACCOUNT else "second", sender, recipient)
        c = connect_when_listening(self.smtp_port)
        hard = self.rng.random() < 0.5
        try:
            self.expect(c.line(), GREETING_SMTP, "SMTP greeting")
            self.expect(c.command("HELO soak.example.org"), b"250 Zorvane\r\n", "HELO")
            self.expect(c.command(f"MAIL FROM:<{sender}>"), b"250 OK\r\n", "MAIL")
            self.expect(c.command(f"RCPT TO:<{recipient}>"), b"250 OK\r\n", "RCPT")
            self.expect(c.command(f"RCPT TO:<{OUTSIDE}>"), b"250 OK\r\n", "RCPT")
            if drop_at == "rcpt":
                self.abandoned.add(message_id)
                return c.drop(hard)
            self.expect(c.command("DATA"), b"354 Start mail input; end with <CRLF>.<CRLF>\r\n", "DATA")
            if drop_at == "data":
                self.abandoned.add(message_id)
                c.send(wire[: self.rng.randint(1, len(wire) - 5)])
                return c.drop(hard)
            c.send(wire)
            reply = c.line()
            if reply != b"250 OK\r\n":
                self.problem(f"message text answered {reply!r}")
            elif sender == ACCOUNT:
                self.accepted.add(message_id)
            else:
                # In the first account's inbox now, like any delivered message.
                self.second_accepted.add(message_id)
                self.delivered[message_id] = text
            self.expect(c.command("QUIT"), b"221 Zorvane bye.\r\n", "QUIT")
            c.close()
        except (OSError, ConnectionError) as error:
            self.problem(f"SMTP dialogue broke: {error}")
            c.close()

    # --- bookkeeping ------------------------------------------------------------
    def expect(self, got, wanted, what):
        if got != wanted:
            raise ConnectionError(f"{what}: {got!r}, wanted {wanted!r}")

    def problem(self, text):
        self.problems.append(text)
        if len(self.problems) <= 20:
            print("problem:", text, file=sys.stderr)

    def files_under(self, folder):
        found = []
        for where, _, names in os.walk(folder):
            if os.path.basename(where) == "tmp":
                continue
            for name in names:
                with open(os.path.join(where, name), "rb") as f:
                    found.append((where, f.read()))
        return found

    def account(self):
        ids = lambda files, pattern: [(w, m.group(1).decode()) for w, data in files
                                      for m in re.finditer(pattern, data)]
        outgoing = rb"Message-ID: <(soak-(?:out|second|stall)-\d+)@soak>"
        user_files = ids(self.files_under(self.maildir(ACCOUNT)),
                         rb"Message-ID: <(soak-(?:in|out|second|stall)-\d+)@soak>")
        peer_files = ids(self.files_under(self.maildir(PEER)), outgoing)
        outbox = ids(self.files_under(os.path.join(self.data, "outbox")), outgoing)
        count = lambda files, message_id, where=lambda w: True: sum(1 for w, i in files if i == message_id and where(w))
        sent = lambda w: ".Sent Items" in w

        lost = duplicated = moved_without_quit = not_moved = phantom = stored_unanswered = 0
        # Delivered to the first account's inbox: by a delivery agent, or
        # submitted by the second account.
        for message_id in self.delivered:
            places = [w for w, i in user_files if i == message_id and not sent(w)]
            if not places:
                lost += 1
            elif len(places) > 1:
                duplicated += 1
            elif ".Deleted Items" in places[0] and message_id not in self.quit_deleted:
                moved_without_quit += 1
            elif ".Deleted Items" not in places[0] and message_id in self.quit_deleted:
                not_moved += 1
        # Every other copy of a submission: the recipient's, the sender's
        # sent copy, the relay's.
        copies_of = {}
        for message_id in self.accepted | self.unanswered:
            copies_of[message_id] = (count(peer_files, message_id), count(user_files, message_id, sent),
                                     count(outbox, message_id))
        for message_id in self.second_accepted:
            copies_of[message_id] = (count(peer_files, message_id, sent), count(outbox, message_id))
        for message_id, copies in copies_of.items():
            if any(c > 1 for c in copies):
                duplicated += 1
            elif message_id in self.unanswered and not any(copies):
                continue  # its client left before the verdict: not stored is as good as stored once
            elif 0 in copies:
                lost += 1
            elif message_id in self.unanswered:
                stored_unanswered += 1
        for message_id in self.abandoned:
            if any(i == message_id for _, i in peer_files + user_files + outbox):
                phantom += 1
        accounted = len(self.delivered) + len(self.accepted) + stored_unanswered
        return {"messages accounted for": accounted - lost,
                "delivered to the inbox": len(self.delivered), "submissions accepted": len(self.accepted),
                "of the second account, during POP3": len(self.second_accepted),
                "submissions abandoned by their client": len(self.abandoned),
                "submissions whose client left in a stall": len(self.unanswered),
                "of those, stored (once)": stored_unanswered, "lost": lost,
                "duplicated": duplicated, "moved without QUIT": moved_without_quit,
                "deleted at QUIT but not moved": not_moved, "phantom submissions": phantom}

    # --- a service that stalls while clients leave ------------------------------
    def open_pop3_up_to(self, command):
        """A POP3 client ready to send command; returns it and the line."""
        c = connect_when_listening(self.pop3_port)
        self.expect(c.line(), GREETING_POP3, "stall: greeting")
        if command == "USER":
            return c, "USER user"
        self.expect(c.command("USER user"), b"+OK password required\r\n", "stall: USER")
        if command == "PASS":
            return c, "PASS " + PASSWORD
        self.expect(c.command("PASS " + PASSWORD), b"+OK logged in\r\n", "stall: PASS")
        if command in ("STAT", "LIST"):
            return c, command
        c.send(b"LIST\r\n")
        sizes = [int(l.split()[1]) for l in c.multi_line().split(b"\r\n")[1:-2]]
        large = [n for n, size in enumerate(sizes, 1) if size > 50000]
        small = [n for n, size in enumerate(sizes, 1) if size <= 50000]
        wanted = large if command == "RETR large" else small
        return c, f"RETR {self.rng.choice(wanted or list(range(1, len(sizes) + 1)) or [1])}"

    def open_smtp_up_to(self, command):
        """An SMTP client ready to send command; returns it, the bytes, and
        the id of the message those bytes end (None for a command)."""
        c = connect_when_listening(self.smtp_port)
        self.expect(c.line(), GREETING_SMTP, "stall: SMTP greeting")
        if command == "HELO":
            return c, b"HELO soak.example.org\r\n", None
        self.expect(c.command("HELO soak.example.org"), b"250 Zorvane\r\n", "stall: HELO")
        if command == "MAIL":
            return c, f"MAIL FROM:<{ACCOUNT}>\r\n".encode(), None
        self.expect(c.command(f"MAIL FROM:<{ACCOUNT}>"), b"250 OK\r\n", "stall: MAIL")
        self.expect(c.command(f"RCPT TO:<{PEER}>"), b"250 OK\r\n", "stall: RCPT")
        self.expect(c.command(f"RCPT TO:<{OUTSIDE}>"), b"250 OK\r\n", "stall: RCPT")
        self.expect(c.command("DATA"), b"354 Start mail input; end with <CRLF>.<CRLF>\r\n", "stall: DATA")
        message_id, _, wire = self.outgoing("stall", ACCOUNT, PEER)
        return c, wire, message_id

    def stall_with_clients_leaving(self):
        """Stops the service for 6 to 10 s. A POP3 and an SMTP client each send
        a command into the stall and leave before its answer; the watchdog
        heals the ports meanwhile. The late answers must find no one, and the
        next clients must be served."""
        pop3_command = self.rng.choice(["USER", "PASS", "STAT", "LIST", "RETR", "RETR large"])
        smtp_command = self.rng.choice(["HELO", "MAIL", "DATA"])
        pop = smtp = None
        try:
            pop, pop_line = self.open_pop3_up_to(pop3_command)
            smtp, smtp_bytes, message_id = self.open_smtp_up_to(smtp_command)
        except (OSError, ConnectionError) as error:
            self.problem(f"before a stall: {error}")
            for c in (pop, smtp):
                if c:
                    c.close()
            return
        self.service.send_signal(signal.SIGSTOP)
        stopped = time.monotonic()
        try:
            pop.send(pop_line.encode() + b"\r\n")
            smtp.send(smtp_bytes)
            if message_id:
                self.unanswered.add(message_id)
            time.sleep(LEAVE_AFTER_S)
            pop.drop(self.rng.random() < 0.5)
            smtp.drop(self.rng.random() < 0.5)
            self.counts["clients that left during a stall"] += 2
            time.sleep(max(0.0, self.rng.uniform(*STALL_SECONDS) - (time.monotonic() - stopped)))
        finally:
            self.service.send_signal(signal.SIGCONT)
        self.counts["service stalls"] += 1

    def agent_alive(self):
        if self.agent.poll() is None:
            return True
        self.crashes += 1
        self.problem(f"the agent died (exit status {self.agent.returncode})")
        return False

    # --- a peer that never sends a line end ---------------------------------
    def flood(self, pid):
        """Sends FLOOD_BYTES without a line end to each phase that collects
        lines, and a message text beyond the size limit; returns, for each,
        the agent's peak VmRSS above what it held before, in KiB."""
        piece = b"x" * (1 << 20)
        results = {}

        def measure(name, port, greeting, before_flood, after_flood):
            rss = vm_rss_kib(pid)
            counted = reset_peak_rss(pid)
            c = connect_when_listening(port)
            self.expect(c.line(), greeting, f"{name}: greeting")
            for text in before_flood:
                c.command(text)
            try:
                for _ in range(FLOOD_BYTES // len(piece)):
                    c.send(piece)
                reply = after_flood(c)
            except (ConnectionError, socket.timeout) as e:
                reply = f"connection ended: {e}".encode()
            peak = peak_rss_kib(pid) if counted else max(vm_rss_kib(pid), rss)
            results[name] = (peak - rss, reply.strip().decode(errors="replace"))
            c.close()

        def line_end(c):
            c.send(b"\r\n")
            return c.line()

        def message_end(c):
            c.send(b"\r\n.\r\n")
            return c.line()

        measure("POP3 command line", self.pop3_port, GREETING_POP3, [], line_end)
        measure("SMTP command line", self.smtp_port, GREETING_SMTP, [], line_end)
        measure("SMTP message text", self.smtp_port, GREETING_SMTP,
                ["HELO soak", f"MAIL FROM:<{ACCOUNT}>", f"RCPT TO:<{PEER}>", "DATA"], message_end)
        return results

    def wait_until_listening(self):
        """Both ports answer again (a dropped dialogue may still be healing)."""
        for port, greeting in ((self.pop3_port, GREETING_POP3), (self.smtp_port, GREETING_SMTP)):
            c = connect_when_listening(port)
            if c.line() != greeting:
                self.problem("no greeting after the run")
            c.send(b"QUIT\r\n")
            c.line()
            c.close()

    def run(self):
        self.start()
        pid = self.agent.pid
        deadline = time.monotonic() + self.args.deadline_minutes * 60
        self.pop3_dialogue()  # stores the password the SMTP side logs in with
        self.second_account_login()
        for i in range(WARM_UP_POP3):
            self.pop3_dialogue()
        for i in range(WARM_UP_SMTP):
            self.submission()
        self.wait_until_listening()
        rss_before, fds_before = vm_rss_kib(pid), fd_count(pid)
        started = time.monotonic()

        pop3_left, smtp_left = self.args.pop3, self.args.smtp
        pop3_points = ["greeted", "user", "pass", "retr", "dele"]
        smtp_points = ["rcpt", "data"]
        while (pop3_left or smtp_left) and time.monotonic() < deadline and self.agent_alive():
            if pop3_left and (not smtp_left or self.rng.random() < pop3_left / (pop3_left + smtp_left)):
                pop3_left -= 1
                drop = self.rng.choice(pop3_points) if self.rng.random() < self.args.drop_rate else None
                self.pop3_dialogue(drop, self.rng.random() < self.args.second_account_rate)
                self.counts["pop3 dropped" if drop else "pop3 complete"] += 1
            else:
                smtp_left -= 1
                drop = self.rng.choice(smtp_points) if self.rng.random() < self.args.drop_rate else None
                self.submission(drop)
                self.counts["smtp dropped" if drop else "smtp complete"] += 1
            done = self.args.pop3 + self.args.smtp - pop3_left - smtp_left
            if self.args.stall_every and done % self.args.stall_every == 0 and self.agent_alive():
                self.stall_with_clients_leaving()
            if done % 250 == 0:
                print(f"... {done} dialogues, {time.monotonic() - started:.0f} s, "
                      f"VmRSS {vm_rss_kib(pid)} KiB, {fd_count(pid)} descriptors", flush=True)

        if self.agent_alive():
            self.wait_until_listening()
        rss_after, fds_after = (vm_rss_kib(pid), fd_count(pid)) if self.agent_alive() else (-1, -1)
        tally = self.account()
        finished = not pop3_left and not smtp_left

        print()
        print(f"{'crashes of the agent':40} {self.crashes}")
        for key, value in list(self.counts.items()) + list(tally.items()):
            print(f"{key:40} {value}")
        print(f"{'memory growth (VmRSS after - before)':40} {rss_after - rss_before} KiB "
              f"({rss_before} -> {rss_after})")
        print(f"{'descriptor count (before -> after)':40} {fds_before} -> {fds_after}")
        print(f"{'dialogue problems':40} {len(self.problems)}")
        print(f"{'time':40} {time.monotonic() - started:.0f} s")

        flood = self.flood(pid) if self.args.flood and self.agent_alive() else {}
        for name, (growth, reply) in flood.items():
            print(f"{'100 MiB flood, ' + name:40} peak +{growth} KiB, reply {reply[:60]!r}")

        failures = []
        if self.crashes:
            failures.append(f"the agent crashed {self.crashes} time(s)")
        elif not finished:
            failures.append("the deadline ended the run early")
        for key in ("lost", "duplicated", "moved without QUIT", "deleted at QUIT but not moved", "phantom submissions"):
            if tally[key]:
                failures.append(f"{key}: {tally[key]}")
        if rss_after - rss_before > self.args.max_growth_kib:
            failures.append(f"memory grew by {rss_after - rss_before} KiB")
        if fds_after > fds_before + self.args.fd_slack:
            failures.append(f"descriptors grew from {fds_before} to {fds_after}")
        for name in ("POP3 command line", "SMTP command line"):
            if name in flood and flood[name][0] > self.args.max_flood_kib:
                failures.append(f"a 100 MiB {name} took {flood[name][0]} KiB")
        if "SMTP message text" in flood and flood["SMTP message text"][0] > self.args.max_message_flood_kib:
            failures.append(f"a 100 MiB message text took {flood['SMTP message text'][0]} KiB")
        if self.problems:
            failures.append(f"{len(self.problems)} dialogues went wrong")
        print("RESULT:", "pass" if not failures else "FAIL: " + "; ".join(failures))
        return 0 if not failures else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "..", "build"),
                        help="build folder holding bin/Zorvane and bin/zorvane-service")
    parser.add_argument("--pop3", type=int, default=2000, help="POP3 dialogues")
    parser.add_argument("--smtp", type=int, default=500, help="SMTP submissions")
    parser.add_argument("--drop-rate", type=float, default=0.1, help="share of clients that drop at a random point")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--stall-every", type=int, default=100,
                        help="stop the service for 6-10 s after every n dialogues, clients leaving meanwhile (0: never)")
    parser.add_argument("--second-account-rate", type=float, default=0.1,
                        help="share of POP3 dialogues during which the second account submits a message")
    parser.add_argument("--deadline-minutes", type=float, default=90, help="the whole run stops after this")
    parser.add_argument("--max-growth-kib", type=int, default=16 * 1024, help="allowed VmRSS growth")
    parser.add_argument("--fd-slack", type=int, default=2, help="allowed growth of the descriptor count")
    parser.add_argument("--no-flood", dest="flood", action="store_false",
                        help="skip the 100 MiB floods without a line end at the end of the run")
    parser.add_argument("--max-flood-kib", type=int, default=8 * 1024,
                        help="allowed peak growth while a command line floods in")
    parser.add_argument("--max-message-flood-kib", type=int, default=3 * 64 * 1024,
                        help="allowed peak growth while a message text beyond the 64 MiB limit floods in")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    args = parser.parse_args()
    soak = Soak(args)
    try:
        return soak.run()
    finally:
        soak.stop()


if __name__ == "__main__":
    sys.exit(main())
