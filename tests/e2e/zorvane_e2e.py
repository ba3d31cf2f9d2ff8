"""Shared rig of the end-to-end tests: a real zorvane-service over a Maildir
store made by the test, and the real agent running headless against it, each
run in its own temporary settings, runtime, temp and data folders. Both
programs start on port 0 and say which ports they got, so no two tests can
race for a port. Only the Python standard library is used."""

import base64
import contextlib
import hashlib
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

SKIP_RETURN_CODE = 77  # CTest's SKIP_RETURN_CODE for a missing client program

# How long a whole step may take before the test calls it hung. Generous:
# the machine is shared by parallel builds and tests.
START_DEADLINE_S = 60      # a program to come up
EXIT_DEADLINE_S = 30       # a program to end after SIGTERM
CLIENT_DEADLINE_S = 240    # one client run (fetchmail with 200 messages, mutt)
SOCKET_TIMEOUT_S = 120     # one POP3/SMTP reply (a large RETR included)

MAIL_DOMAIN = "zorvane.test"
KEEP_ALIVE_LINE = b"X-zorvane: busy..."
LARGE_MESSAGE_THRESHOLD = 50000  # bytes: above it RETR takes the asynchronous path
MAX_PADDING_LINE_BYTES = 900  # mail lines stay below the 998 bytes that clients accept


def bin_dir():
    path = os.environ.get("ZORVANE_BIN_DIR")
    if not path:
        here = os.path.dirname(os.path.abspath(__file__))
        path = os.path.join(here, "..", "..", "build", "bin")
    return os.path.abspath(path)


def program(name):
    return os.path.join(bin_dir(), name)


def require_programs(*names):
    """Skips the whole test program (exit 77) when a client program that
    no one here wrote is not installed."""
    missing = [n for n in names if shutil.which(n) is None]
    if missing:
        print("skipped: not installed: " + ", ".join(missing))
        sys.exit(SKIP_RETURN_CODE)


def free_port():
    """A port nobody listens on: bound with port 0, read back, released.
    Only for programs that cannot say which port they took; another program
    may take it before the one it was meant for."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wire_form(data):
    """The bytes a POP3 client receives for a stored message: every LF that
    does not follow a CR becomes CR LF."""
    return re.sub(rb"(?<!\r)\n", b"\r\n", data)


def lf_form(data):
    return data.replace(b"\r\n", b"\n")


def digest(data):
    return hashlib.sha256(data).hexdigest()


def drop_keep_alive_lines(lines):
    """The asynchronous RETR puts busy header lines in front of the text."""
    at = 0
    while at < len(lines) and lines[at] == KEEP_ALIVE_LINE:
        at += 1
    return lines[at:]


def listening_ports():
    """TCP ports in the LISTEN state on this machine, read from /proc so that
    looking never opens a connection (the agent serves one client at a time)."""
    ports = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                for row in f:
                    fields = row.split()
                    if fields[3] == "0A":
                        ports.add(int(fields[1].rsplit(":", 1)[1], 16))
        except OSError:
            pass
    return ports


def wait_until(predicate, deadline_s, what, interval_s=0.02):
    """Polls a condition that no event reports (a listening port, a file
    appearing) until it holds or the deadline passes."""
    end = time.monotonic() + deadline_s
    while True:
        if predicate():
            return
        if time.monotonic() >= end:
            raise AssertionError("gave up waiting for " + what)
        time.sleep(interval_s)


class OutputCollector(threading.Thread):
    """Drains a child's pipe into memory and a file and wakes waiters on
    every chunk, so a wait ends the moment the awaited text arrives."""

    def __init__(self, pipe, path):
        super().__init__(daemon=True)
        self._pipe = pipe
        self._file = open(path, "wb")
        self._data = bytearray()
        self._closed = False
        self._changed = threading.Condition()
        self.start()

    def run(self):
        while True:
            chunk = os.read(self._pipe.fileno(), 65536)
            with self._changed:
                if not chunk:
                    self._closed = True
                    self._file.close()
                    self._pipe.close()
                    self._changed.notify_all()
                    return
                self._data += chunk
                self._file.write(chunk)
                self._file.flush()
                self._changed.notify_all()

    def data(self):
        with self._changed:
            return bytes(self._data)

    def wait_for(self, predicate, deadline_s, what):
        with self._changed:
            ok = self._changed.wait_for(lambda: predicate(bytes(self._data)) or self._closed, deadline_s)
            if not ok or not predicate(bytes(self._data)):
                raise AssertionError("gave up waiting for %s; output so far:\n%s"
                                     % (what, bytes(self._data).decode("latin-1")))

    def wait_closed(self, deadline_s):
        with self._changed:
            self._changed.wait_for(lambda: self._closed, deadline_s)


# --- Maildir content -------------------------------------------------------

def message_bytes(number, body_bytes=400, crlf=False, extra_headers=b"", body=None):
    """A message of our own making. Its lines exercise what a POP3 relay gets
    wrong: lines of one dot, lines led by dots, 8-bit bytes, a long line."""
    head = (b"Return-Path: <sender%d@example.org>\n"
            b"From: Sender %d <sender%d@example.org>\n"
            b"To: demo@zorvane.test\n"
            b"Subject: End-to-end message %d\n"
            b"Date: Mon, 02 Dec 2024 10:%02d:00 +0000\n"
            b"Message-ID: <e2e-%d@example.org>\n"
            % (number, number, number, number, number % 60, number)) + extra_headers + b"\n"
    if body is None:
        lines = [b"Message number %d." % number,
                 b".",
                 b"..two dots lead this line",
                 b".x one dot leads this line",
                 b"8-bit bytes: caf\xe9 na\xefve \xff\x80",
                 b"a long line: " + b"L" * 1500,
                 b""]
        body = b"\n".join(lines)
        filler = b"line of filler text %05d for message %d\n"
        n = 0
        while len(body) < body_bytes:
            body += filler % (n, number)
            n += 1
    data = head + body
    if not data.endswith(b"\n"):
        data += b"\n"
    return data.replace(b"\n", b"\r\n") if crlf else data


def sized_message(number, wire_size):
    """A message whose wire form is exactly wire_size bytes."""
    data = message_bytes(number, body_bytes=0)
    missing = wire_size - len(wire_form(data))
    if missing < 3:
        raise ValueError("wire size too small")
    # Pad with lines of 'P's; a line adds its length plus CR LF on the wire.
    while missing > 0:
        length = min(MAX_PADDING_LINE_BYTES, missing - 2)
        if 0 < missing - (length + 2) < 3:
            length -= 3  # leave room for one more line of at least one byte
        data += b"P" * length + b"\n"
        missing -= length + 2
    assert len(wire_form(data)) == wire_size
    return data


class Maildir:
    """One account's Maildir in the service's data folder."""

    def __init__(self, root, create=True):
        self.root = root
        if create:
            for sub in ("cur", "new", "tmp"):
                os.makedirs(os.path.join(root, sub), exist_ok=True)

    def folder(self, name):
        """A Maildir++ subfolder such as '.Sent Items' (may not exist yet)."""
        return Maildir(os.path.join(self.root, name), create=False)

    def deliver(self, unique, data, seen=False):
        if seen:
            path = os.path.join(self.root, "cur", unique + ":2,S")
        else:
            path = os.path.join(self.root, "new", unique)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def files(self):
        """{unique part: (subfolder, flags, bytes)} of every message."""
        found = {}
        for sub in ("new", "cur"):
            folder = os.path.join(self.root, sub)
            if not os.path.isdir(folder):
                continue
            for name in os.listdir(folder):
                unique, _, info = name.partition(":")
                flags = info[2:] if info.startswith("2,") else ""
                with open(os.path.join(folder, name), "rb") as f:
                    found[unique] = (sub, flags, f.read())
        return found

    def messages(self):
        return [content for (_, _, content) in self.files().values()]


class SlowRelay(threading.Thread):
    """Passes TCP traffic to a port unchanged. While `slow` is set, the first
    bytes of every answer (what comes back after the client has sent
    something) are held back `delay_s` seconds: the stand-in for a web mail
    service that takes its time."""

    def __init__(self, target_port, delay_s):
        super().__init__(daemon=True)
        self.target_port = target_port
        self.delay_s = delay_s
        self.slow = threading.Event()
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.start()

    def run(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            try:
                upstream = socket.create_connection(("127.0.0.1", self.target_port))
            except OSError:
                client.close()
                continue
            asked = threading.Event()
            threading.Thread(target=self._pipe, args=(client, upstream, asked, False), daemon=True).start()
            threading.Thread(target=self._pipe, args=(upstream, client, asked, True), daemon=True).start()

    def _pipe(self, source, sink, asked, answers):
        try:
            while True:
                chunk = source.recv(65536)
                if not chunk:
                    break
                if not answers:
                    asked.set()
                elif asked.is_set():
                    asked.clear()
                    if self.slow.is_set():
                        time.sleep(self.delay_s)  # the simulated service's slowness
                sink.sendall(chunk)
        except OSError:
            pass
        finally:
            for s in (source, sink):
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                s.close()

    def address(self, url):
        """The service address url with the relay's port in place of the service's."""
        return re.sub(r":%d/" % self.target_port, ":%d/" % self.port, url)

    def close(self):
        self.listener.close()


class TlsProxy:
    """socat as a TLS-terminating proxy on a free port of 127.0.0.1 in front
    of a plain port, with the certificate and key given; what it says goes to
    a file in log_folder. Stopped when the test ends."""

    ATTEMPTS = 5  # the free port may be taken between finding and binding it

    def __init__(self, test, cert, key, target_port, log_folder):
        for _ in range(self.ATTEMPTS):
            self.port = free_port()
            self.process = subprocess.Popen(
                ["socat", "-d", "-d",
                 "openssl-listen:%d,bind=127.0.0.1,reuseaddr,fork,cert=%s,key=%s,verify=0" % (self.port, cert, key),
                 "tcp:127.0.0.1:%d" % target_port],
                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            self.err = OutputCollector(self.process.stderr, os.path.join(log_folder, "socat-%d.err" % self.port))
            try:
                self.err.wait_for(lambda d: b"listening on" in d, START_DEADLINE_S, "socat listening")
                break
            except AssertionError:
                self.process.kill()
                self.process.wait()
        test.addCleanup(self.stop)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(EXIT_DEADLINE_S)
        self.err.wait_closed(EXIT_DEADLINE_S)


# --- The programs ----------------------------------------------------------

class Rig:
    """zorvane-service and the headless agent in folders of their own."""

    def __init__(self, name, accounts=None, preferences=None, service_quiet=True, demo=False,
                 relay_delay_s=None, service_options=(), service_port=0):
        self.base = tempfile.mkdtemp(prefix="zorvane-e2e-%s-" % name)
        self.config_home = self._folder("config")
        self.runtime_dir = self._folder("runtime")
        self.temp_dir = self._folder("tmp")
        self.home = self._folder("home")
        self.data = self._folder("data")
        self.logs = self._folder("logs")
        self.accounts = dict(accounts or {"demo@" + MAIL_DOMAIN: "demo"})
        self.preferences = dict(preferences or {})
        self.service_quiet = service_quiet
        self.demo = demo
        self.relay_delay_s = relay_delay_s  # the agent reaches the service through a SlowRelay
        self.relay = None
        self.service_options = list(service_options)  # HTTPS, a public address
        self.service_port = service_port  # 0: a free one
        self.service = None
        self.service_out = None
        self.service_err_path = os.path.join(self.logs, "service.err")
        self.agent = None
        self.agent_out = None
        self.agent_runs = 0
        self.pop3_port = None
        self.smtp_port = None
        self.service_url = None
        self.alt_service_url = None
        self._write_accounts()

    def _folder(self, name):
        path = os.path.join(self.base, name)
        os.makedirs(path, mode=0o700)
        return path

    def _write_accounts(self):
        with open(os.path.join(self.data, "accounts"), "w") as f:
            for address, password in self.accounts.items():
                f.write("%s %s\n" % (address, password))

    def maildir(self, address="demo@" + MAIL_DOMAIN):
        return Maildir(os.path.join(self.data, "mail", address))

    def environment(self):
        env = dict(os.environ)
        for key in ("DISPLAY", "WAYLAND_DISPLAY", "SESSION_MANAGER", "DBUS_SESSION_BUS_ADDRESS"):
            env.pop(key, None)
        env.update({
            "QT_QPA_PLATFORM": "offscreen",
            "XDG_CONFIG_HOME": self.config_home,
            "XDG_RUNTIME_DIR": self.runtime_dir,
            "TMPDIR": self.temp_dir,
            "HOME": self.home,
            "LC_ALL": "C.UTF-8",
        })
        return env

    # The service ---------------------------------------------------------

    def start_service(self):
        command = [program("zorvane-service"), "--data", self.data, "--port", str(self.service_port),
                   *self.service_options]
        if self.service_quiet:
            command.append("--quiet")
        if self.demo:
            command.append("--demo")
        err = open(self.service_err_path, "wb")
        self.service = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=err,
                                        env=self.environment(), cwd=self.base)
        err.close()
        self.service_out = OutputCollector(self.service.stdout, os.path.join(self.logs, "service.out"))
        self.service_out.wait_for(lambda d: re.search(rb"^AltServiceUrl=\S+\n", d, re.M), START_DEADLINE_S,
                                  "the service's address lines")
        text = self.service_out.data().decode()
        self.service_url = re.search(r"^ServiceUrl=(\S+)$", text, re.M).group(1)
        self.alt_service_url = re.search(r"^AltServiceUrl=(\S+)$", text, re.M).group(1)
        if self.relay_delay_s is not None:
            port = int(re.search(r":(\d+)/", self.service_url).group(1))
            self.relay = SlowRelay(port, self.relay_delay_s)
            self.service_url = self.relay.address(self.service_url)
            self.alt_service_url = self.relay.address(self.alt_service_url + "/")[:-1]

    def service_output(self):
        with open(self.service_err_path, "rb") as f:
            return self.service_out.data() + f.read()

    # The agent -----------------------------------------------------------

    def settings_path(self):
        return os.path.join(self.config_home, "Zorvane", "Zorvane.ini")

    def write_settings(self, pop3_port=0, smtp_port=0):
        """The [Preferences] section the agent starts from; any other section
        (the stored accounts) is kept as the agent wrote it. Port 0 lets the
        system choose."""
        values = {
            "Pop3Port": str(pop3_port),
            "SmtpPort": str(smtp_port),
            "ServiceUrl": self.service_url,
            "AltServiceUrl": self.alt_service_url,
            "LocalhostOnly": "1",
            "ListUnreadOnly": "0",
            "MarkReadOnServer": "0",
            "DeleteOnServer": "0",
            "SaveSentItems": "0",
            "CollectPOP3": "0",
            "DebugMode": "0",
        }
        values.update(self.preferences)
        path = self.settings_path()
        os.makedirs(os.path.dirname(path), mode=0o700, exist_ok=True)
        kept = []
        if os.path.exists(path):
            section = None
            with open(path, encoding="utf-8") as f:
                existing = f.read().splitlines()
            for line in existing:
                if line.startswith("["):
                    section = line
                if section != "[Preferences]":
                    kept.append(line)
        lines = ["[Preferences]"] + ["%s=%s" % kv for kv in values.items()] + [""] + kept
        with open(path, "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")
        os.chmod(path, 0o600)

    def start_agent(self):
        self.write_settings()
        self.agent_runs += 1
        out_path = os.path.join(self.logs, "agent-%d.out" % self.agent_runs)
        self.agent = subprocess.Popen([program("Zorvane")], stdout=subprocess.PIPE,
                                      stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                      env=self.environment(), cwd=self.base)
        self.agent_out = OutputCollector(self.agent.stdout, out_path)
        # The version line is logged once both listeners have been started
        # and have announced the ports they got.
        self.agent_out.wait_for(lambda d: re.search(rb"\(Rev\. \d+\)", d), START_DEADLINE_S,
                                "the agent's version line")
        self.pop3_port = self._announced_port(b"POP3")
        self.smtp_port = self._announced_port(b"SMTP")
        # The settings name the ports the agent holds, as for a user who
        # chose them: the diagnostics program reads them there.
        self.write_settings(self.pop3_port, self.smtp_port)

    def _announced_port(self, protocol):
        found = re.search(rb"^" + protocol + rb" port (\d+)$", self.agent_out.data(), re.M)
        if found is None:
            raise AssertionError("the agent announced no %s port; its output:\n%s"
                                 % (protocol.decode(), self.agent_out.data().decode("latin-1")))
        return int(found.group(1))

    def wait_listening(self, port):
        """The agent serves one client at a time on a socket that listens
        again only once the last dialogue has been closed: a client that
        comes back at once would be refused."""
        wait_until(lambda: port in listening_ports(), START_DEADLINE_S, "port %d to listen again" % port)

    def pop3(self):
        import poplib
        self.wait_listening(self.pop3_port)
        return poplib.POP3("127.0.0.1", self.pop3_port, timeout=SOCKET_TIMEOUT_S)

    def smtp(self):
        import smtplib
        self.wait_listening(self.smtp_port)
        return smtplib.SMTP("127.0.0.1", self.smtp_port, timeout=SOCKET_TIMEOUT_S)

    def stop_agent(self):
        if self.agent is None:
            return None
        agent, self.agent = self.agent, None
        if agent.poll() is None:
            agent.send_signal(signal.SIGTERM)
        try:
            status = agent.wait(EXIT_DEADLINE_S)
        except subprocess.TimeoutExpired:
            agent.kill()
            agent.wait()
            raise AssertionError("the agent did not end within %d s of SIGTERM" % EXIT_DEADLINE_S)
        self.agent_out.wait_closed(EXIT_DEADLINE_S)
        return status

    def agent_output(self):
        """Everything every run of the agent printed (its on-screen log)."""
        chunks = []
        for run in range(1, self.agent_runs + 1):
            with open(os.path.join(self.logs, "agent-%d.out" % run), "rb") as f:
                chunks.append(f.read())
        return b"".join(chunks)

    def log_file_path(self):
        return os.path.join(self.temp_dir, "Zorvane Logging", "Log.txt")

    def start(self):
        self.start_service()
        self.start_agent()
        return self

    def close(self, keep=False):
        problems = []
        try:
            self.stop_agent()
        except AssertionError as e:
            problems.append(str(e))
        if self.service is not None and self.service.poll() is None:
            self.service.send_signal(signal.SIGTERM)
            try:
                self.service.wait(EXIT_DEADLINE_S)
            except subprocess.TimeoutExpired:
                self.service.kill()
                self.service.wait()
                problems.append("the service did not end within %d s of SIGTERM" % EXIT_DEADLINE_S)
        if self.relay is not None:
            self.relay.close()
        if keep or os.environ.get("ZORVANE_E2E_KEEP"):
            print("kept the test folders in " + self.base)
        else:
            shutil.rmtree(self.base, ignore_errors=True)
        if problems:
            raise AssertionError("; ".join(problems))


class RigTestCase(unittest.TestCase):
    """A test case with a started rig in self.rig; the rig's folders stay
    for inspection when the test failed."""

    accounts = None
    preferences = None
    service_quiet = True

    def make_rig(self, **overrides):
        options = dict(accounts=self.accounts, preferences=self.preferences, service_quiet=self.service_quiet)
        options.update(overrides)
        rig = Rig(self.id().rsplit(".", 1)[-1], **options)
        self.addCleanup(self._close_rig, rig)
        return rig

    def _close_rig(self, rig):
        outcome = getattr(self, "_outcome", None)
        failed = False
        if outcome is not None:
            result = getattr(outcome, "result", None)
            errors = list(getattr(result, "errors", [])) + list(getattr(result, "failures", []))
            failed = any(test is self for test, _ in errors) or not getattr(outcome, "success", True)
        if failed:
            sys.stderr.write("\n--- agent output ---\n%s\n--- service output ---\n%s\n"
                             % (rig.agent_output().decode("latin-1")[-6000:] if rig.agent_runs else "",
                                rig.service_output().decode("latin-1")[-3000:] if rig.service_out else ""))
        rig.close(keep=failed)

    def assertMessagesEqual(self, got, expected, what):
        """Compares two sets of messages by digest, naming what differs."""
        got_d = sorted(digest(m) for m in got)
        expected_d = sorted(digest(m) for m in expected)
        if got_d != expected_d:
            self.fail("%s: %d messages received, %d expected, %d do not match"
                      % (what, len(got), len(expected), len(set(got_d) ^ set(expected_d))))


def pop3_login_once(rig, user, password):
    """A POP3 login that ends with QUIT: the agent stores the account's
    password for the SMTP side."""
    pop = rig.pop3()
    try:
        pop.user(user)
        pop.pass_(password)
        pop.stat()
    finally:
        pop.quit()


def basic_credentials(user, password):
    return base64.b64encode(("%s:%s" % (user, password)).encode())


def main():
    unittest.main(verbosity=2)
