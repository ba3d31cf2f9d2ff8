"""The agent, through its HTTP layer, against zorvane-service over HTTPS with
a certificate authority of one's own, made by the openssl command lines of
the README's home server section and trusted through CaCertificates. Python's
poplib and smtplib read, delete and send: through the service's own HTTPS;
through a TLS-terminating proxy (socat) in front of a plain service started
with --public-url, at the root and under a path prefix; and through nginx set
up with the README's reverse proxy block, which passes the prefix on, and with
the variant that takes it off. The diagnostics program, headless, reports the
HTTPS service and its certificate."""

import os
import pwd
import re
import shutil
import subprocess
import tempfile
from datetime import datetime

import zorvane_e2e as e2e

e2e.require_programs("openssl", "socat", "bash")

README = os.path.join(os.environ.get("ZORVANE_SOURCE_DIR",
                                     os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")),
                      "README.md")
HOME_SERVER_SECTION = "## Running the service on a home server"
REVERSE_PROXY_SECTION = "### Behind a reverse proxy"
README_ADDRESS = "192.168.1.10"   # the home server's address in the README; the test's is 127.0.0.1
README_SERVICE_PORT = "8910"
README_PREFIX = "/zorvane"

DEMO = "demo@zorvane.test"
ANN = "ann@zorvane.test"
ACCOUNTS = {DEMO: "demo", ANN: "ann-secret"}
SMALL = "1733000001.M1P1.tls"
LARGE = "1733000002.M2P1.tls"    # above the size that RETR downloads in the background
KEPT = "1733000003.M3P1.tls"
DIAGNOSTICS_DEADLINE_S = 60


def readme_section(title):
    with open(README, encoding="utf-8") as f:
        text = f.read()
    section = text[text.index(title):]
    return section[:section.index("\n#", len(title))]


class HomeCa:
    """The README's own certificate authority and server certificate, its
    command lines run as printed in a folder of the test's own; only the home
    server's address is the test's."""

    def __init__(self, folder):
        self.folder = folder
        lines = [line.strip() for line in readme_section(HOME_SERVER_SECTION).splitlines()
                 if line.strip().startswith(("openssl ", "printf "))]
        assert len(lines) == 4, lines
        for line in lines:
            done = subprocess.run(["bash", "-c", line.replace(README_ADDRESS, "127.0.0.1")], cwd=folder,
                                  capture_output=True, text=True, timeout=e2e.CLIENT_DEADLINE_S)
            if done.returncode != 0:
                raise AssertionError("README command failed: %s\n%s" % (line, done.stderr))
        self.ca = self.path("ca.pem")
        self.cert = self.path("cert.pem")
        self.key = self.path("key.pem")

    def path(self, name):
        return os.path.join(self.folder, name)

    def validity(self):
        """'Valid from ... UTC to ... UTC' as the diagnostics program writes it."""
        dates = subprocess.run(["openssl", "x509", "-noout", "-startdate", "-enddate", "-in", self.cert],
                               capture_output=True, text=True, check=True).stdout
        found = dict(line.split("=", 1) for line in dates.strip().splitlines())
        when = {k: datetime.strptime(v, "%b %d %H:%M:%S %Y GMT").strftime("%Y-%m-%d %H:%M:%S UTC")
                for k, v in found.items()}
        return "Valid from %s to %s" % (when["notBefore"], when["notAfter"])


class Nginx:
    """nginx as a TLS-terminating reverse proxy on a free port, with the
    README's location block, its service port replaced by the test's."""

    ATTEMPTS = 5  # the free port may be taken between finding and binding it

    def __init__(self, test, ca, service_port, take_prefix_off, folder):
        block = readme_section(REVERSE_PROXY_SECTION)
        block = block[block.index("    location %s/ {" % README_PREFIX):]
        block = block[:block.index("\n    }\n") + len("\n    }\n")]
        plain = "proxy_pass http://127.0.0.1:%s;" % README_SERVICE_PORT
        test.assertIn(plain, block)
        # The README's variant that takes the prefix off ends the target with "/".
        block = block.replace(plain, "proxy_pass http://127.0.0.1:%d%s;" % (service_port,
                                                                            "/" if take_prefix_off else ""))
        self.folder = folder
        for _ in range(self.ATTEMPTS):
            self.port = e2e.free_port()
            config = os.path.join(folder, "nginx-%d.conf" % self.port)
            with open(config, "w") as f:
                f.write(self.configuration(folder, ca, block))
            self.process = subprocess.Popen(["nginx", "-p", folder, "-e", os.path.join(folder, "error.log"),
                                             "-c", config], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            test.addCleanup(self.stop, self.process)
            # nginx ends at once when it cannot take the port.
            e2e.wait_until(lambda: self.port in e2e.listening_ports() or self.process.poll() is not None,
                           e2e.START_DEADLINE_S, "nginx to listen or end")
            if self.process.poll() is None:
                return
        with open(os.path.join(folder, "error.log")) as f:
            raise AssertionError("nginx does not start:\n" + f.read())

    def configuration(self, folder, ca, location):
        temp = {name: os.path.join(folder, name) for name in ("body", "proxy", "fastcgi", "uwsgi", "scgi")}
        return "\n".join([
            "daemon off;",
            "worker_processes 1;",
            # Workers as the test's own user, so that they may use its folders.
            "user %s;" % pwd.getpwuid(os.geteuid()).pw_name,
            "pid %s;" % os.path.join(folder, "nginx-%d.pid" % self.port),
            "error_log %s info;" % os.path.join(folder, "error.log"),
            "events { worker_connections 64; }",
            "http {",
            "  access_log %s;" % os.path.join(folder, "access.log"),
            "  client_body_temp_path %(body)s; proxy_temp_path %(proxy)s; fastcgi_temp_path %(fastcgi)s;" % temp,
            "  uwsgi_temp_path %(uwsgi)s; scgi_temp_path %(scgi)s;" % temp,
            "  server {",
            "    listen 127.0.0.1:%d ssl;" % self.port,
            "    ssl_certificate %s;" % ca.cert,
            "    ssl_certificate_key %s;" % ca.key,
            location,
            "  }",
            "}", ""])

    @staticmethod
    def stop(process):
        if process.poll() is None:
            process.terminate()
            process.wait(e2e.EXIT_DEADLINE_S)

    def requests(self):
        with open(os.path.join(self.folder, "access.log")) as f:
            return f.read()


class SecureServiceTest(e2e.RigTestCase):
    accounts = ACCOUNTS

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="zorvane-e2e-ca-")
        cls.home_ca = HomeCa(cls.folder)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, True)

    def secure_rig(self, service_options, service_port=0, trusted=True, service_quiet=True):
        preferences = {"MarkReadOnServer": "1", "DeleteOnServer": "1", "SaveSentItems": "1"}
        if trusted:
            preferences["CaCertificates"] = self.home_ca.ca
        rig = self.make_rig(preferences=preferences, service_options=service_options, service_port=service_port,
                            service_quiet=service_quiet)
        for address in ACCOUNTS:
            rig.maildir(address)
        return rig

    def own_https_options(self):
        return ["--tls-cert", self.home_ca.cert, "--tls-key", self.home_ca.key]

    def fill_inbox(self, rig):
        stored = {SMALL: e2e.message_bytes(1, body_bytes=300),
                  LARGE: e2e.message_bytes(2, body_bytes=80000),
                  KEPT: e2e.message_bytes(3, body_bytes=500)}
        self.assertGreater(len(e2e.wire_form(stored[LARGE])), e2e.LARGE_MESSAGE_THRESHOLD)
        for unique, data in stored.items():
            rig.maildir().deliver(unique, data)
        return stored

    def read_delete_and_send(self, rig):
        """A whole POP3 dialogue and a submission, and what they leave in
        the service's Maildirs."""
        stored = self.fill_inbox(rig)
        rig.start()
        self.assertTrue(rig.service_url.startswith("https://"), rig.service_url)

        pop = rig.pop3()
        self.assertEqual(pop.user("demo"), b"+OK password required")
        self.assertEqual(pop.pass_("demo"), b"+OK logged in")
        wires = {unique: e2e.wire_form(data) for unique, data in stored.items()}
        self.assertEqual(pop.stat(), (3, sum(len(w) for w in wires.values())))
        # The messages are listed oldest first, as delivered.
        for number, unique in ((1, SMALL), (2, LARGE)):
            reply, lines, _ = pop.retr(number)
            self.assertEqual(reply, b"+OK %d" % len(wires[unique]))
            self.assertEqual(b"\r\n".join(e2e.drop_keep_alive_lines(lines)) + b"\r\n", wires[unique], unique)
        for number in (1, 2):
            self.assertEqual(pop.dele(number), b"+OK marked for deletion")
        self.assertEqual(pop.quit(), b"+OK")

        inbox = rig.maildir().files()
        self.assertEqual(set(inbox), {KEPT})
        self.assertEqual(inbox[KEPT], ("new", "", stored[KEPT]))
        deleted = rig.maildir().folder(".Deleted Items").files()
        self.assertEqual(set(deleted), {SMALL, LARGE})
        for unique, (_, flags, data) in deleted.items():
            self.assertEqual(data, stored[unique], unique)
            self.assertIn("S", flags, unique)

        message = (b"From: Demo <demo@zorvane.test>\r\nTo: Ann <ann@zorvane.test>\r\nSubject: over TLS\r\n\r\n"
                   b"Sent through the agent.\r\n.leading dot\r\n")
        smtp = rig.smtp()
        self.assertEqual(smtp.helo()[0], 250)
        self.assertEqual(smtp.sendmail(DEMO, [ANN], message), {})
        smtp.quit()
        self.assertEqual(rig.maildir(ANN).messages(), [message])
        self.assertEqual(rig.maildir().folder(".Sent Items").messages(), [message])

    def test_the_services_own_https(self):
        self.read_delete_and_send(self.secure_rig(self.own_https_options()))

    def test_through_a_tls_proxy_with_a_public_url(self):
        for prefix in ("", README_PREFIX):
            with self.subTest(prefix=prefix):
                # Each must know the other's port before either starts.
                service_port = e2e.free_port()
                proxy = e2e.TlsProxy(self, self.home_ca.cert, self.home_ca.key, service_port, self.folder)
                public = "https://127.0.0.1:%d%s" % (proxy.port, prefix)
                rig = self.secure_rig(["--public-url", public], service_port)
                self.read_delete_and_send(rig)
                self.assertEqual(rig.service_url, public + "/dav/")

    def test_through_nginx_as_the_readme_shows(self):
        if shutil.which("nginx") is None:
            self.skipTest("nginx is not installed")
        for take_prefix_off in (False, True):
            with self.subTest(take_prefix_off=take_prefix_off):
                service_port = e2e.free_port()
                folder = tempfile.mkdtemp(prefix="zorvane-e2e-nginx-")
                self.addCleanup(shutil.rmtree, folder, True)
                nginx = Nginx(self, self.home_ca, service_port, take_prefix_off, folder)
                public = "https://127.0.0.1:%d%s" % (nginx.port, README_PREFIX)
                rig = self.secure_rig(["--public-url", public], service_port, service_quiet=False)
                self.read_delete_and_send(rig)
                self.assertEqual(rig.service_url, public + "/dav/")
                # The requests went through nginx under the prefix, and on to
                # the service with it or without; both log a request once it
                # has ended.
                passed_on = "" if take_prefix_off else README_PREFIX
                for path in (r"/mail/demo@zorvane.test/inbox/\S+", r"/mail/demo@zorvane.test/sendmsg"):
                    e2e.wait_until(lambda: re.search(r'"[A-Z]+ %s%s HTTP/1.1" 201' % (README_PREFIX, path),
                                                     nginx.requests()),
                                   e2e.START_DEADLINE_S, "nginx to log " + path)
                    e2e.wait_until(lambda: re.search(rb"^[A-Z]+ %s%s 201$" % (passed_on.encode(), path.encode()),
                                                     rig.service_output(), re.M),
                                   e2e.START_DEADLINE_S, "the service to log %s%s" % (passed_on, path))

    def diagnose(self, rig):
        done = subprocess.run([e2e.program("Zorvane_Diagnostics"), "--user", "demo"], input=b"demo\n",
                              capture_output=True, env=rig.environment(), timeout=DIAGNOSTICS_DEADLINE_S)
        return done.returncode, done.stdout.decode("utf-8", "replace").replace("\r\n", "\n")

    def test_diagnostics_report_the_service_and_its_certificate(self):
        certificate = ("\nServer certificate:\nSubject: CN=homeserver.lan\nIssuer: CN=Home CA\n%s\n"
                       % self.home_ca.validity())
        for trusted in (True, False):
            with self.subTest(trusted=trusted):
                rig = self.secure_rig(self.own_https_options(), trusted=trusted)
                rig.start_service()
                # No agent runs: the diagnostics try these ports themselves,
                # and farther ones while one is taken.
                rig.write_settings(e2e.free_port(), e2e.free_port())
                status, report = self.diagnose(rig)
                self.assertIn(certificate, report)
                if trusted:
                    self.assertEqual(status, 0, report)
                    self.assertIn("\n207 - Multi-Status\n", report)
                    self.assertTrue(report.rstrip().endswith("\nConnection attempt successful."), report)
                else:
                    self.assertEqual(status, 1, report)
                    self.assertNotIn(" - Multi-Status", report)
                    self.assertIn("Connection attempt unsuccessful:\n"
                                  "2F0D The certificate authority is invalid or incorrect.", report)


if __name__ == "__main__":
    e2e.main()
