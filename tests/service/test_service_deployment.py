"""zorvane-service as it is deployed: serving HTTPS itself with a certificate
of a test CA made here by openssl, behind a TLS-terminating proxy (socat)
with --public-url, with and without a path prefix, and its command line.
The client is the tests' own: Python's http.client and ssl, with a Digest
answer computed here."""

import hashlib
import http.client
import os
import re
import shutil
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import zorvane_e2e as e2e  # noqa: E402

EXIT_DEADLINE_S = 30
VERSION_RE = re.compile(r"^\d+\.\d+\.\d+$")


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, timeout=EXIT_DEADLINE_S, **kwargs)


class TestCa:
    """A certificate authority and a server certificate for 127.0.0.1, made
    with the openssl command in a folder of the test's own."""

    def __init__(self, folder):
        self.folder = folder
        self.ca_key = self.path("ca.key")
        self.ca_cert = self.path("ca.pem")
        self.openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", self.ca_key, "-out", self.ca_cert,
                     "-days", "2", "-subj", "/CN=Zorvane test CA",
                     "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign")
        self.cert, self.key = self.server_certificate("server")

    def path(self, name):
        return os.path.join(self.folder, name)

    def openssl(self, *arguments):
        done = run(["openssl", *arguments], cwd=self.folder)
        if done.returncode != 0:
            raise AssertionError("openssl %s failed:\n%s" % (arguments[0], done.stderr))

    def server_certificate(self, name):
        key, request, cert = self.path(name + ".key"), self.path(name + ".csr"), self.path(name + ".pem")
        extensions = self.path(name + ".ext")
        with open(extensions, "w") as f:
            f.write("subjectAltName=IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth\n")
        self.openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", request, "-subj", "/CN=127.0.0.1")
        self.openssl("x509", "-req", "-in", request, "-CA", self.ca_cert, "-CAkey", self.ca_key, "-CAcreateserial",
                     "-out", cert, "-days", "2", "-extfile", extensions)
        os.chmod(key, 0o600)
        return cert, key

    def client_context(self):
        return ssl.create_default_context(cafile=self.ca_cert)


class DigestClient:
    """A WebDAV client of the test's own, over one kept-alive connection:
    answers the service's Digest challenge and then sends its answer with
    every request, counting nc up as a client must."""

    def __init__(self, base_url, user, password, context=None, uri_prefix=""):
        match = re.match(r"(https?)://([^/:]+):(\d+)", base_url)
        self.scheme, self.host, self.port = match.group(1), match.group(2), int(match.group(3))
        self.user, self.password = user, password
        self.context = context
        self.uri_prefix = uri_prefix  # what a proxy took off the path the client asked for
        self.challenge = None
        self.nc = 0
        self.challenges_met = 0
        self.connection = self.connect()

    def close(self):
        self.connection.close()

    def connect(self):
        if self.scheme == "https":
            return http.client.HTTPSConnection(self.host, self.port, context=self.context,
                                               timeout=e2e.SOCKET_TIMEOUT_S)
        return http.client.HTTPConnection(self.host, self.port, timeout=e2e.SOCKET_TIMEOUT_S)

    def authorization(self, method, path):
        self.nc += 1
        realm, nonce, opaque = (self.challenge[k] for k in ("realm", "nonce", "opaque"))
        md5 = lambda text: hashlib.md5(text.encode()).hexdigest()  # noqa: E731
        nc, cnonce = "%08x" % self.nc, "4a2f0e61"
        response = md5(":".join([md5("%s:%s:%s" % (self.user, realm, self.password)), nonce, nc, cnonce, "auth",
                                 md5("%s:%s" % (method, path))]))
        return ('Digest username="%s", realm="%s", nonce="%s", uri="%s", qop=auth, nc=%s, cnonce="%s", '
                'response="%s", opaque="%s", algorithm=MD5' % (self.user, realm, nonce, path, nc, cnonce,
                                                               response, opaque))

    def request(self, method, url, body=b"", headers=None):
        """(status, headers, body) of a request to an absolute address."""
        path = re.sub(r"^https?://[^/]+", "", url)
        for _ in range(3):
            sent = dict(headers or {})
            if self.challenge:
                sent["Authorization"] = self.authorization(method, self.uri_prefix + path)
            self.connection.request(method, path, body=body, headers=sent)
            answer = self.connection.getresponse()
            data = answer.read()
            if answer.getheader("Connection", "").lower() == "close":
                self.connection.close()
                self.connection = self.connect()
            if answer.status != 401:
                return answer.status, answer, data
            self.challenges_met += 1
            offered = [v for k, v in answer.getheaders() if k.lower() == "www-authenticate"]
            self.challenge = dict(re.findall(r'(\w+)="?([^",]*)"?', offered[0][len("Digest "):]))
            self.nc = 0
        return answer.status, answer, data


def element(body, name):
    match = re.search(rb"<m:%s>([^<]*)</m:%s>" % (name.encode(), name.encode()), body)
    return match.group(1).decode() if match else None


class Service:
    """One zorvane-service process with a data folder of its own."""

    def __init__(self, test, *options, port=0, accounts="demo@zorvane.test demo\nann@zorvane.test annpw\n"):
        self.folder = tempfile.mkdtemp(prefix="zorvane-deploy-")
        test.addCleanup(shutil.rmtree, self.folder, True)
        self.data = os.path.join(self.folder, "data")
        os.makedirs(self.data)
        with open(os.path.join(self.data, "accounts"), "w") as f:
            f.write(accounts)
        with open(os.path.join(self.folder, "service.err"), "wb") as err:
            self.process = subprocess.Popen([e2e.program("zorvane-service"), "--data", self.data, "--port", str(port),
                                             *options], stdout=subprocess.PIPE, stderr=err)
        test.addCleanup(self.stop)
        self.out = e2e.OutputCollector(self.process.stdout, os.path.join(self.folder, "service.out"))
        self.out.wait_for(lambda d: re.search(rb"^AltServiceUrl=\S+\n", d, re.M), e2e.START_DEADLINE_S,
                          "the service's address lines")
        text = self.out.data().decode()
        self.service_url = re.search(r"^ServiceUrl=(\S+)$", text, re.M).group(1)
        self.alt_service_url = re.search(r"^AltServiceUrl=(\S+)$", text, re.M).group(1)

    def deliver(self, name, data):
        folder = os.path.join(self.data, "mail", "demo@zorvane.test", "new")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(EXIT_DEADLINE_S)
        self.out.wait_closed(EXIT_DEADLINE_S)


class DeploymentTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="zorvane-ca-")
        cls.ca = TestCa(cls.folder)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, True)

    def walk_the_agent_path(self, client, entry_url, base):
        """Login, store load, fetch, move to the deleted items and a
        submission, every address taken from an answer as the agent does."""
        status, _, login = client.request("PROPFIND", entry_url, headers={"Depth": "1"})
        self.assertEqual(status, 207, login)
        inbox = element(login, "inbox")
        self.assertEqual(inbox, base + "/mail/demo@zorvane.test/inbox/")
        for name in ("deleteditems", "sendmsg", "collect"):
            self.assertTrue(element(login, name).startswith(base + "/mail/demo@zorvane.test/"), name)
        status, _, listing = client.request("PROPFIND", inbox, headers={"Depth": "1"})
        self.assertEqual(status, 207)
        messages = re.findall(rb"<D:href>([^<]*)</D:href>", listing)[1:]
        self.assertEqual(len(messages), 2)
        status, _, small = client.request("GET", messages[0].decode())
        self.assertEqual((status, small), (200, b"Subject: small\r\n\r\nhello\r\n"))
        status, answer, large = client.request("GET", messages[1].decode())
        self.assertEqual(status, 200)
        self.assertEqual(large, e2e.wire_form(self.large))
        name = messages[0].decode().rsplit("/", 1)[1]
        status, answer, _ = client.request("MOVE", messages[0].decode(),
                                           headers={"Destination": element(login, "deleteditems") + name,
                                                    "X-Zorvane-Rename": "t"})
        self.assertEqual(status, 201)
        self.assertEqual(answer.getheader("Location"), element(login, "deleteditems") + name)
        submission = (b"MAIL FROM:<demo@zorvane.test>\r\nRCPT TO:<ann@zorvane.test>\r\n\r\n"
                      b"Subject: through the proxy\r\n\r\nhi\r\n")
        status, _, stored = client.request("POST", element(login, "sendmsg"), body=submission,
                                           headers={"X-Zorvane-Envelope": "t", "X-Zorvane-Save-In-Sent": "t"})
        self.assertEqual(status, 201, stored)
        # One challenge for the whole walk: the nonce serves every address.
        self.assertEqual(client.challenges_met, 1)

    def deliver_two(self, service):
        self.large = b"Subject: large\n\n" + b"a line of a large message\n" * 4000
        service.deliver("1000.small", b"Subject: small\n\nhello\n")
        os.utime(os.path.join(service.data, "mail", "demo@zorvane.test", "new", "1000.small"), (1000, 1000))
        service.deliver("2000.large", self.large)
        os.utime(os.path.join(service.data, "mail", "demo@zorvane.test", "new", "2000.large"), (2000, 2000))

    def test_serves_https_itself(self):
        service = Service(self, "--tls-cert", self.ca.cert, "--tls-key", self.ca.key, "--quiet")
        self.assertRegex(service.service_url, r"^https://127\.0\.0\.1:\d+/dav/$")
        self.assertEqual(service.alt_service_url, service.service_url[:-len("/dav/")] + "/alt")
        self.deliver_two(service)
        base = service.service_url[:-len("/dav/")]
        client = DigestClient(base, "demo", "demo", self.ca.client_context())
        self.addCleanup(client.close)
        self.walk_the_agent_path(client, service.service_url, base)
        # A client that does not trust the test CA gets no answer.
        untrusting = DigestClient(base, "demo", "demo", ssl.create_default_context())
        self.addCleanup(untrusting.close)
        with self.assertRaises(ssl.SSLCertVerificationError):
            untrusting.request("GET", base + "/")
        # Plain HTTP to the HTTPS port is not served.
        port = int(re.search(r":(\d+)/", service.service_url).group(1))
        with socket.create_connection(("127.0.0.1", port), timeout=e2e.SOCKET_TIMEOUT_S) as plain:
            plain.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            try:
                self.assertFalse(plain.recv(100).startswith(b"HTTP/1.1 200"))
            except ConnectionResetError:
                pass

    def test_behind_a_tls_proxy_with_a_public_url(self):
        for prefix in ("", "/mail-service/v1"):
            with self.subTest(prefix=prefix):
                # The proxy must know the service's port and the service the
                # proxy's before either starts: both are found free first.
                service_port = e2e.free_port()
                proxy = e2e.TlsProxy(self, self.ca.cert, self.ca.key, service_port, self.ca.folder)
                public = "https://127.0.0.1:%d%s" % (proxy.port, prefix)
                service = Service(self, "--public-url", public, "--quiet", port=service_port)
                self.assertEqual(service.service_url, public + "/dav/")
                self.assertEqual(service.alt_service_url, public + "/alt")
                self.deliver_two(service)
                client = DigestClient(public, "demo", "demo", self.ca.client_context())
                self.addCleanup(client.close)
                self.walk_the_agent_path(client, service.service_url, public)

                # A proxy that takes the prefix off before passing a request
                # on: the client's Digest answer names the whole path.
                direct = DigestClient("http://127.0.0.1:%d" % service_port, "demo", "demo", uri_prefix=prefix)
                self.addCleanup(direct.close)
                status, _, login = direct.request("PROPFIND", "http://127.0.0.1:%d/dav/" % service_port)
                self.assertEqual(status, 207, login)
                self.assertEqual(element(login, "inbox"), public + "/mail/demo@zorvane.test/inbox/")

    def test_a_key_others_can_read_or_of_another_certificate_is_refused(self):
        readable = os.path.join(self.folder, "readable.key")
        shutil.copy(self.ca.key, readable)
        os.chmod(readable, 0o644)
        other_cert, other_key = self.ca.server_certificate("other")
        cases = [
            (["--tls-cert", self.ca.cert, "--tls-key", readable], 1, [readable, "read by others than its owner"]),
            (["--tls-cert", self.ca.cert, "--tls-key", other_key], 1, [other_key, "does not belong", self.ca.cert]),
            (["--tls-cert", self.ca.key, "--tls-key", self.ca.key], 1, ["no PEM certificate"]),
            (["--tls-cert", self.ca.cert], 2, ["--tls-cert needs --tls-key"]),
            (["--public-url", "ftp://example.org"], 2, ["--public-url", "http:// or https://"]),
            (["--public-url", "https://example.org/a b"], 2, ["--public-url", "path prefix"]),
        ]
        data = tempfile.mkdtemp(prefix="zorvane-refused-")
        self.addCleanup(shutil.rmtree, data, True)
        for options, status, words in cases:
            with self.subTest(options=options):
                done = run([e2e.program("zorvane-service"), "--data", data, "--port", "0", *options])
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertEqual(done.stdout, "")
                for word in words:
                    self.assertIn(word, done.stderr)

    def test_a_key_shared_through_an_access_list_with_the_services_user_alone(self):
        """A key handed over the way systemd hands a service a credential:
        mode 0400 with an access list entry that lets the service's user
        read it. The mode then reads 0440, and the key is still no one
        else's."""
        for reader, taken in ((os.geteuid(), True), (os.geteuid() + 1, False)):
            with self.subTest(reader=reader):
                key = os.path.join(self.folder, "listed-%d.key" % reader)
                shutil.copy(self.ca.key, key)
                os.chmod(key, 0o400)
                try:
                    os.setxattr(key, "system.posix_acl_access", access_list(reader))
                except OSError as e:
                    self.skipTest("no access control lists here: %s" % e)
                self.assertEqual(os.stat(key).st_mode & 0o777, 0o440)
                if taken:
                    service = Service(self, "--tls-cert", self.ca.cert, "--tls-key", key, "--quiet")
                    self.assertTrue(service.service_url.startswith("https://"))
                    continue
                data = tempfile.mkdtemp(prefix="zorvane-refused-")
                self.addCleanup(shutil.rmtree, data, True)
                done = run([e2e.program("zorvane-service"), "--data", data, "--port", "0",
                            "--tls-cert", self.ca.cert, "--tls-key", key])
                self.assertEqual(done.returncode, 1, done.stderr)
                self.assertIn(key + " can be read by others than its owner (its access control list", done.stderr)


def access_list(reader):
    """A POSIX access control list as the kernel keeps it in the extended
    attribute system.posix_acl_access: the owner and the user reader may
    read, no group and no one else."""
    everyone = 0xFFFFFFFF
    user_object, user, group_object, mask, other = 0x01, 0x02, 0x04, 0x10, 0x20
    entries = [(user_object, 4, everyone), (user, 4, reader), (group_object, 0, everyone), (mask, 4, everyone),
               (other, 0, everyone)]
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *entry) for entry in entries)


class CommandLineTest(unittest.TestCase):

    def environment(self):
        folder = tempfile.mkdtemp(prefix="zorvane-cli-")
        self.addCleanup(shutil.rmtree, folder, True)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_CONFIG_HOME=os.path.join(folder, "config"),
                   XDG_RUNTIME_DIR=folder, TMPDIR=folder, HOME=folder)
        env.pop("DISPLAY", None)
        return env

    def test_help_and_version_of_all_three_programs(self):
        for name, words in (("zorvane-service", ["--data", "--tls-cert", "--tls-key", "--public-url", "--port"]),
                            ("Zorvane", ["--help", "--version", "settings store"]),
                            ("Zorvane_Diagnostics", ["--help", "--version"])):
            with self.subTest(program=name):
                helped = run([e2e.program(name), "--help"], env=self.environment())
                self.assertEqual(helped.returncode, 0, helped.stderr)
                self.assertIn("Usage: ", helped.stdout)
                for word in words:
                    self.assertIn(word, helped.stdout)
                versioned = run([e2e.program(name), "--version"], env=self.environment())
                self.assertEqual(versioned.returncode, 0, versioned.stderr)
                self.assertRegex(versioned.stdout.strip(), r"^%s \d+\.\d+" % re.escape(name))

    def test_errors_name_the_option(self):
        cases = [("zorvane-service", ["--data", "x", "--port", "eighty"], ["--port", "eighty"]),
                 ("zorvane-service", ["--data", "x", "--colour"], ["colour"]),
                 ("zorvane-service", ["--port", "1"], ["--data"]),
                 ("zorvane-service", ["--data"], ["--data"]),
                 ("zorvane-service", ["--data", "x", "--domain", "a b"], ["--domain"]),
                 ("Zorvane", ["--colour"], ["colour"]),
                 ("Zorvane", ["inbox"], ["inbox"]),
                 ("Zorvane_Diagnostics", ["--fast"], ["fast"])]
        for name, arguments, words in cases:
            with self.subTest(program=name, arguments=arguments):
                done = run([e2e.program(name), *arguments], env=self.environment())
                self.assertEqual(done.returncode, 2, done.stdout + done.stderr)
                for word in words:
                    self.assertIn(word, done.stderr)


if __name__ == "__main__":
    e2e.require_programs("openssl", "socat")
    unittest.main(verbosity=2)
