#!/usr/bin/env python3
"""Intake time of a message through the headless agent, end to end.

Starts zorvane-service and the agent (Zorvane, headless) in a temporary
folder with free ports, logs in once over POP3 so the agent keeps the
password, then submits messages of 1, 10 and 50 MiB with smtplib and prints
the time from DATA to the final reply (taking the message in, unstuffing it,
and the submission to the service). The time per MiB stays flat when the
intake is linear in the message size.

Usage: smtp_submit.py [--bin BUILD/bin] [--sizes 1 10 50]
"""
import argparse
import os
import pathlib
import poplib
import smtplib
import socket
import subprocess
import sys
import tempfile
import time

ACCOUNT = "bench@zorvane.test"
PASSWORD = "bench"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def pop3_login(port, process, timeout=30.0):
    """Logs in once, so the agent keeps the password for SMTP. A connection
    that only probes the port would hold the one-client listener until the
    agent's watchdog frees it, so the probe is the POP3 dialogue itself."""
    deadline = time.monotonic() + timeout
    while True:
        if process.poll() is not None:
            sys.exit(f"the agent ended early with status {process.returncode}")
        try:
            pop = poplib.POP3("127.0.0.1", port, timeout=60)
            break
        except OSError:
            if time.monotonic() > deadline:
                sys.exit(f"nothing listens on port {port}")
            time.sleep(0.05)
    pop.user(ACCOUNT)
    pop.pass_(PASSWORD)
    pop.quit()


def message(size):
    line = b"m" * 76 + b"\r\n"
    body = bytearray(b"From: bench@zorvane.test\r\nTo: bench@zorvane.test\r\nSubject: bench\r\n\r\n")
    n = 0
    while len(body) < size:
        body += (b"." if n % 40 == 0 else b"") + line
        n += 1
    return bytes(body)


def main():
    here = pathlib.Path(__file__).resolve().parent
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", default=os.environ.get("ZORVANE_BIN_DIR", str(here.parents[1] / "build" / "bin")))
    parser.add_argument("--sizes", type=int, nargs="+", default=[1, 10, 50])
    args = parser.parse_args()
    bin_dir = pathlib.Path(args.bin)

    with tempfile.TemporaryDirectory(prefix="smtp-bench-") as root:
        root = pathlib.Path(root)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        for name in ("XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "TMPDIR"):
            (root / name).mkdir(mode=0o700)
            env[name] = str(root / name)
        data = root / "service"
        data.mkdir()
        (data / "accounts").write_text(f"{ACCOUNT} {PASSWORD}\n")

        processes = []
        try:
            service = subprocess.Popen([str(bin_dir / "zorvane-service"), "--data", str(data), "--port", "0"],
                                       env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            processes.append(service)
            urls = dict(service.stdout.readline().strip().split("=", 1) for _ in range(2))

            pop_port, smtp_port = free_port(), free_port()
            ini = root / "XDG_CONFIG_HOME" / "Zorvane" / "Zorvane.ini"
            ini.parent.mkdir()
            ini.write_text("[Preferences]\n"
                           f"Pop3Port={pop_port}\nSmtpPort={smtp_port}\n"
                           f"ServiceUrl={urls['ServiceUrl']}\nAltServiceUrl={urls['AltServiceUrl']}\n")
            agent = subprocess.Popen([str(bin_dir / "Zorvane")], env=env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            processes.append(agent)
            pop3_login(pop_port, agent)

            print(f"{'MiB':>6} {'DATA to reply s':>16} {'s/MiB':>8}")
            for mib in args.sizes:
                text = message(mib * 1024 * 1024)
                with smtplib.SMTP("127.0.0.1", smtp_port, timeout=600) as smtp:
                    smtp.helo("bench")
                    smtp.mail(ACCOUNT)
                    smtp.rcpt(ACCOUNT)
                    started = time.perf_counter()
                    code, reply = smtp.data(text)
                    elapsed = time.perf_counter() - started
                if code != 250:
                    sys.exit(f"{mib} MiB refused: {code} {reply!r}")
                print(f"{mib:>6} {elapsed:>16.3f} {elapsed / mib:>8.3f}")
        finally:
            for process in reversed(processes):
                process.terminate()
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    process.kill()


if __name__ == "__main__":
    main()
