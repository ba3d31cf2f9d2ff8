#!/usr/bin/env python3
"""zorvane-service under the hostile requests it must survive, measured:
its peak memory (VmHWM) and how another account fares meanwhile.

  python3 bench/service_hostile/service_hostile.py --build build

1. PROPFIND with as many unknown properties as the service takes (and, refused,
   the 5000-property body of a 10000-character namespace), on a folder of
   MESSAGES messages, answered to a client that reads slowly;
2. connections announcing 60 MiB bodies, unauthenticated and authenticated,
   each sending all but one byte;
3. connections trickling their heads, one header line a second.
Throughout, the account ann logs in (PROPFIND /dav/) in a loop; its slowest
answer and any failure are reported."""

import argparse
import base64
import os
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time

MESSAGES = 5000
BODY_BYTES = 60 * 1024 * 1024
ATTACK_CONNECTIONS = 20
SLOW_HEADS = 40


def basic(user, password):
    return "Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode()


def peak_rss_mb(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmHWM:\s+(\d+)", f.read()).group(1)) / 1024


def rss_mb(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1)) / 1024


class Bystander(threading.Thread):
    """The other account, logging in again and again."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.port, self.running, self.slowest, self.failures, self.count = port, True, 0.0, 0, 0

    def run(self):
        request = ("PROPFIND /dav/ HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: %s\r\nConnection: close\r\n\r\n"
                   % basic("ann", "annpw")).encode()
        while self.running:
            start = time.monotonic()
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=30) as s:
                    s.sendall(request)
                    answer = b""
                    while chunk := s.recv(65536):
                        answer += chunk
                ok = answer.startswith(b"HTTP/1.1 207")
            except OSError:
                ok = False
            self.slowest = max(self.slowest, time.monotonic() - start)
            self.failures += 0 if ok else 1
            self.count += 1
            time.sleep(0.05)


def open_with(port, data):
    s = socket.create_connection(("127.0.0.1", port), timeout=30)
    s.sendall(data)
    return s


def propfind_attack(port, names, namespace, slow_reader_s):
    body = ('<?xml version="1.0"?><D:propfind xmlns:D="DAV:" xmlns:o="%s"><D:prop>%s</D:prop></D:propfind>'
            % (namespace, "".join("<o:%s/>" % n for n in names))).encode()
    s = open_with(port, ("PROPFIND /mail/demo@zorvane.test/inbox/ HTTP/1.1\r\nHost: 127.0.0.1\r\nDepth: 1\r\n"
                         "Authorization: %s\r\nContent-Length: %d\r\nConnection: close\r\n\r\n"
                         % (basic("demo", "demo"), len(body))).encode() + body)
    received = 0
    end = time.monotonic() + slow_reader_s
    while chunk := s.recv(65536):
        received += len(chunk)
        if time.monotonic() < end:
            time.sleep(0.05)  # a reader of about a megabyte a second
    s.close()
    return received


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="zorvane-hostile-")
    data = os.path.join(work, "data")
    inbox = os.path.join(data, "mail", "demo@zorvane.test", "new")
    os.makedirs(inbox)
    with open(os.path.join(data, "accounts"), "w") as f:
        f.write("demo@zorvane.test demo\nann@zorvane.test annpw\n")
    for i in range(MESSAGES):
        with open(os.path.join(inbox, "%d.M%dP1.bench" % (1733000000 + i, i)), "wb") as f:
            f.write(b"Subject: message %d\n\n%s\n" % (i, b"x" * 2000))
    service = subprocess.Popen([os.path.join(args.build, "bin", "zorvane-service"), "--data", data, "--port", "0",
                                "--quiet"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    port = int(re.search(rb":(\d+)/", service.stdout.readline()).group(1))
    bystander = Bystander(port)
    bystander.start()
    print("service up: %.1f MB" % rss_mb(service.pid))

    refused = propfind_attack(port, ["p%d" % i for i in range(5000)], "n" * 10000, 0)
    print("1. 5000 properties, 10000-character namespace: answer %d bytes; peak %.1f MB"
          % (refused, peak_rss_mb(service.pid)))
    names = ["property-number-%d-of-a-long-name" % i for i in range(200)]
    names = [n[: 16 * 1024 // 200] for n in names]
    got = propfind_attack(port, names, "urn:" + "n" * 100000, 20)
    print("1. 200 properties over %d messages, slow reader: answer %.1f MB; peak %.1f MB"
          % (MESSAGES, got / 1e6, peak_rss_mb(service.pid)))

    for who, auth in (("unauthenticated", ""), ("authenticated", "Authorization: %s\r\n" % basic("demo", "demo"))):
        held = []
        for _ in range(ATTACK_CONNECTIONS):
            s = open_with(port, ("POST /mail/demo@zorvane.test/sendmsg HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                 "X-Zorvane-Envelope: t\r\n%sContent-Length: %d\r\n\r\n" % (auth, BODY_BYTES)).encode())
            held.append(s)
        chunk = b"x" * (1024 * 1024)
        for s in held:
            try:
                for _ in range(BODY_BYTES // len(chunk) - 1):
                    s.sendall(chunk)
                s.sendall(chunk[:-1])
            except OSError:
                pass  # answered and closed early
        print("2. %d %s connections announcing 60 MiB, all but a byte sent: now %.1f MB, peak %.1f MB"
              % (ATTACK_CONNECTIONS, who, rss_mb(service.pid), peak_rss_mb(service.pid)))
        for s in held:
            s.close()

    slow = [open_with(port, b"PROPFIND /dav/ HTTP/1.1\r\nHost: 127.0.0.1\r\n") for _ in range(SLOW_HEADS)]
    for second in range(15):
        for s in slow:
            try:
                s.sendall(b"X-Slow-%d: 1\r\n" % second)
            except OSError:
                pass
        time.sleep(1)
    print("3. %d trickled heads for 15 s: peak %.1f MB" % (SLOW_HEADS, peak_rss_mb(service.pid)))
    for s in slow:
        s.close()

    bystander.running = False
    bystander.join()
    print("the other account: %d logins, %d failed, slowest %.2f s" % (bystander.count, bystander.failures,
                                                                       bystander.slowest))
    print("service peak memory over the whole run (VmHWM): %.1f MB" % peak_rss_mb(service.pid))
    service.terminate()
    service.wait()
    shutil.rmtree(work, True)


if __name__ == "__main__":
    main()
