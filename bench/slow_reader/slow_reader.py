#!/usr/bin/env python3
"""The agent's memory while a POP3 client reads a large message slowly.

Starts zorvane-service over a Maildir holding one message of --size MiB and
the headless agent in front of it, logs in over POP3 and reads RETR 1 at
--rate KB/s through a small receive buffer. The agent must not hold what the
client has not read: it keeps a bounded queue towards the client and makes
the download wait. Prints the agent's resident memory before, its peak during
the download (VmHWM, restarted before RETR) and the growth, checks that the
message arrived byte for byte, and exits non-zero when the growth passes
--max-growth-mb.

    bench/slow_reader/slow_reader.py --build build [--size 20] [--rate 200]
                                     [--max-growth-mb 8] [--keep]

Only the Python standard library is used. Everything runs in a temporary
folder with its own settings, runtime and temp folders and free ports; both
programs are started here and stopped by their PID.
"""

import argparse
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

ACCOUNT = "user@zorvane.test"
PASSWORD = "slow-reader"
START_TIMEOUT_S = 60
REPLY_TIMEOUT_S = 120
CLIENT_RECEIVE_BUFFER = 64 * 1024  # the client's own window: the kernel holds little for it
READS_PER_SECOND = 10


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def status_kib(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} for process {pid}")


def reset_peak(pid):
    with open(f"/proc/{pid}/clear_refs", "w") as f:
        f.write("5")


def wait_for_output(process, pattern, timeout):
    """Reads the child's output until pattern matches; a thread drains it on."""
    found = threading.Event()
    result = {}
    data = bytearray()

    def drain():
        for chunk in iter(lambda: process.stdout.read1(65536), b""):
            data.extend(chunk)
            match = re.search(pattern, bytes(data))
            if match and not found.is_set():
                result["match"] = match
                found.set()

    threading.Thread(target=drain, daemon=True).start()
    if not found.wait(timeout):
        raise RuntimeError(f"no {pattern!r} in: {bytes(data).decode(errors='replace')}")
    return result["match"]


def message_of_size(size):
    head = (f"From: Ann <ann@example.org>\r\nTo: {ACCOUNT}\r\nSubject: large\r\n"
            "Message-ID: <large@bench>\r\n\r\n.\r\n..\r\n").encode()
    line = b"abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ-.\r\n"
    body = bytearray(head)
    while len(body) + len(line) <= size - 2:
        body += line
    body += b"z" * (size - 2 - len(body)) + b"\r\n"
    return bytes(body)


class Client:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=REPLY_TIMEOUT_S)
        self.buffer = b""

    def line(self):
        while b"\r\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise RuntimeError("the agent closed the connection")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line

    def command(self, text):
        self.sock.sendall(text.encode() + b"\r\n")
        return self.line()


def unstuff(data):
    lines = data.split(b"\r\n")
    return b"\r\n".join(l[1:] if l.startswith(b".") else l for l in lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build")
    parser.add_argument("--size", type=float, default=20, help="message size in MiB")
    parser.add_argument("--rate", type=float, default=200, help="reading speed in KB/s (1000 bytes)")
    parser.add_argument("--max-growth-mb", type=float, default=8)
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()

    bin_dir = os.path.abspath(os.path.join(args.build, "bin"))
    root = tempfile.mkdtemp(prefix="zorvane-slow-reader-")
    processes = []
    try:
        data = os.path.join(root, "service")
        maildir = os.path.join(data, "mail", ACCOUNT)
        for sub in ("new", "cur", "tmp"):
            os.makedirs(os.path.join(maildir, sub))
        with open(os.path.join(data, "accounts"), "w") as f:
            f.write(f"{ACCOUNT} {PASSWORD}\n")
        message = message_of_size(int(args.size * 1024 * 1024))
        with open(os.path.join(maildir, "new", "1000000000.M1P1.bench"), "wb") as f:
            f.write(message)

        service = subprocess.Popen([os.path.join(bin_dir, "zorvane-service"), "--data", data, "--port", "0",
                                    "--quiet"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        processes.append(service)
        urls = wait_for_output(service, rb"ServiceUrl=(\S+)\s+AltServiceUrl=(\S+)", START_TIMEOUT_S)

        for sub in ("config/Zorvane", "runtime", "temp"):
            os.makedirs(os.path.join(root, sub))
        os.chmod(os.path.join(root, "runtime"), 0o700)
        pop3_port, smtp_port = free_port(), free_port()
        with open(os.path.join(root, "config/Zorvane/Zorvane.ini"), "w") as f:
            f.write("[Preferences]\nAutoStart=0\nLocalhostOnly=1\nDebugMode=0\nListUnreadOnly=0\n"
                    "MarkReadOnServer=0\nDeleteOnServer=0\n"
                    f"Pop3Port={pop3_port}\nSmtpPort={smtp_port}\n"
                    f"ServiceUrl={urls.group(1).decode()}\nAltServiceUrl={urls.group(2).decode()}\n")
        env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(root, "config"),
                   XDG_RUNTIME_DIR=os.path.join(root, "runtime"), TMPDIR=os.path.join(root, "temp"),
                   QT_QPA_PLATFORM="offscreen")
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        agent = subprocess.Popen([os.path.join(bin_dir, "Zorvane")], env=env,
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        processes.append(agent)
        wait_for_output(agent, rb"Zorvane \d+\.\d+ \(Rev\. \d+\)\n", START_TIMEOUT_S)

        client = Client(pop3_port)
        client.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, CLIENT_RECEIVE_BUFFER)
        assert client.line().startswith(b"+OK"), "no greeting"
        assert client.command("USER " + ACCOUNT).startswith(b"+OK")
        assert client.command("PASS " + PASSWORD).startswith(b"+OK")
        stat = client.command("STAT")
        assert stat == b"+OK 1 %d" % len(message), stat

        before_kib = status_kib(agent.pid, "VmRSS")
        reset_peak(agent.pid)
        started = time.monotonic()
        client.sock.sendall(b"RETR 1\r\n")
        status = client.line()
        assert status == b"+OK %d" % len(message), status
        piece = max(1, int(args.rate * 1000 / READS_PER_SECOND))
        received = bytearray(client.buffer)
        next_read = time.monotonic()
        while not received.endswith(b"\r\n.\r\n"):
            next_read += 1 / READS_PER_SECOND
            time.sleep(max(0, next_read - time.monotonic()))
            chunk = client.sock.recv(piece)
            if not chunk:
                raise RuntimeError("the agent closed the connection during the message")
            received += chunk
        seconds = time.monotonic() - started
        peak_kib = status_kib(agent.pid, "VmHWM")
        after_kib = status_kib(agent.pid, "VmRSS")

        text = bytes(received)
        while text.startswith(b"X-zorvane: busy...\r\n"):
            text = text[20:]
        text = unstuff(text[:-3])
        intact = text == message
        client.command("QUIT")

        growth_mb = (peak_kib - before_kib) * 1024 / 1e6
        print(f"message                  {len(message)} bytes, read at {args.rate:g} KB/s in {seconds:.1f} s")
        print(f"agent VmRSS before RETR  {before_kib} KiB")
        print(f"agent VmHWM during RETR  {peak_kib} KiB")
        print(f"agent VmRSS after RETR   {after_kib} KiB")
        print(f"peak growth              {growth_mb:.2f} MB (bound {args.max_growth_mb:g} MB)")
        print(f"message byte for byte    {'yes' if intact else 'NO'}")
        return 0 if intact and growth_mb < args.max_growth_mb else 1
    finally:
        for process in reversed(processes):
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(30)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        if not args.keep:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
