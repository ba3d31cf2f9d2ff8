"""`cmake --install` into a temporary prefix: the three programs, the menu
entries and icons, the help pages, the agent's user service and the web mail
service's units, and the installed programs working from there."""

import configparser
import os
import poplib
import shutil
import subprocess
import tempfile
import unittest

import zorvane_e2e as e2e

PROGRAMS = ("Zorvane", "Zorvane_Diagnostics", "zorvane-service")
DIAGNOSTICS_HELP = ("general.html", "socket.html", "http-component.html", "connection.html")


def desktop_entry(path):
    parser = configparser.ConfigParser(interpolation=None, strict=True)
    parser.optionxform = str
    parser.read(path, encoding="utf-8")
    return parser["Desktop Entry"]


class InstalledTreeTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.prefix = tempfile.mkdtemp(prefix="zorvane-install-")
        cls.addClassCleanup(shutil.rmtree, cls.prefix, True)
        build = os.environ.get("ZORVANE_BUILD_DIR") or os.path.join(e2e.bin_dir(), "..")
        run = subprocess.run(["cmake", "--install", build, "--prefix", cls.prefix],
                             capture_output=True, timeout=300)
        if run.returncode != 0:
            raise AssertionError("cmake --install failed:\n" + (run.stdout + run.stderr).decode())
        cls.share = os.path.join(cls.prefix, "share")
        cls.bin = os.path.join(cls.prefix, "bin")

    def installed(self, *parts):
        path = os.path.join(self.prefix, *parts)
        self.assertTrue(os.path.isfile(path), "not installed: " + path)
        return path

    def test_programs_and_help_pages(self):
        for name in PROGRAMS:
            self.assertTrue(os.access(self.installed("bin", name), os.X_OK), name)
        self.installed("share", "zorvane", "help", "index.html")
        for page in DIAGNOSTICS_HELP:
            self.installed("share", "zorvane", "diagnostics-help", page)

    def test_menu_entries_start_the_installed_programs(self):
        for file_name, program, icon in (("zorvane.desktop", "Zorvane", "zorvane"),
                                         ("zorvane-diagnostics.desktop", "Zorvane_Diagnostics",
                                          "zorvane-diagnostics")):
            path = self.installed("share", "applications", file_name)
            entry = desktop_entry(path)
            self.assertEqual(entry["Type"], "Application")
            self.assertEqual(entry["Exec"], os.path.join(self.bin, program))
            self.assertEqual(entry["Icon"], icon)
            self.installed("share", "icons", "hicolor", "scalable", "apps", icon + ".svg")
            if shutil.which("desktop-file-validate"):
                check = subprocess.run(["desktop-file-validate", path], capture_output=True, text=True)
                self.assertEqual(check.returncode, 0, check.stdout + check.stderr)

    def test_user_service_runs_the_agent_headless(self):
        unit = configparser.ConfigParser(interpolation=None, strict=False)
        unit.optionxform = str
        unit.read(self.installed("share", "systemd", "user", "zorvane.service"))
        self.assertEqual(unit["Service"]["ExecStart"], os.path.join(self.bin, "Zorvane"))
        self.assertEqual(unit["Service"]["Environment"], "QT_QPA_PLATFORM=offscreen")
        self.assertEqual(unit["Install"]["WantedBy"], "default.target")

    def read_unit(self, *parts):
        unit = configparser.ConfigParser(interpolation=None, strict=False)
        unit.optionxform = str
        path = self.installed(*parts)
        unit.read(path)
        return path, unit

    def verify_unit(self, path, *mode):
        """systemd-analyze verify, which also says nothing and ends well when
        a line of the unit is wrong: its output must not name the unit."""
        runtime = tempfile.mkdtemp(prefix="zorvane-verify-")
        self.addCleanup(shutil.rmtree, runtime, True)
        env = dict(os.environ, XDG_RUNTIME_DIR=runtime, HOME=runtime, XDG_CONFIG_HOME=runtime)
        check = subprocess.run(["systemd-analyze", *mode, "verify", path], capture_output=True, text=True,
                               env=env, timeout=e2e.CLIENT_DEADLINE_S)
        said = check.stdout + check.stderr
        self.assertEqual(check.returncode, 0, said)
        self.assertNotIn(os.path.basename(path), said)

    def test_service_units(self):
        service = os.path.join(self.bin, "zorvane-service")
        system_path, system = self.read_unit("lib", "systemd", "system", "zorvane-service.service")
        with open(self.installed("lib", "sysusers.d", "zorvane-service.conf")) as f:
            sysusers = f.read()
        self.assertRegex(sysusers, r"(?m)^u zorvane-service ")
        self.assertEqual(system["Service"]["User"], "zorvane-service")
        self.assertEqual(system["Service"]["StateDirectory"], "zorvane-service")
        self.assertTrue(system["Service"]["ExecStart"].startswith(service + " --data %S/zorvane-service"))
        for key, value in (("ProtectSystem", "strict"), ("NoNewPrivileges", "yes"), ("PrivateTmp", "yes"),
                           ("ProtectHome", "yes")):
            self.assertEqual(system["Service"][key], value, key)
        self.assertEqual(system["Install"]["WantedBy"], "multi-user.target")

        user_path, user = self.read_unit("share", "systemd", "user", "zorvane-service.service")
        self.assertTrue(user["Service"]["ExecStart"].startswith(service + " --data %S/zorvane-service"))
        self.assertEqual(user["Install"]["WantedBy"], "default.target")

        if shutil.which("systemd-analyze") is None:
            self.fail("systemd-analyze is not installed (Debian package systemd)")
        self.verify_unit(system_path)
        self.verify_unit(user_path, "--user")

    def test_installed_programs_serve_mail(self):
        previous = os.environ.get("ZORVANE_BIN_DIR")
        os.environ["ZORVANE_BIN_DIR"] = self.bin
        self.addCleanup(os.environ.__setitem__, "ZORVANE_BIN_DIR", previous or "")
        rig = e2e.Rig("installed", demo=True)
        self.addCleanup(rig.close)
        rig.start()
        pop = rig.pop3()
        pop.user("demo")
        self.assertEqual(pop.pass_("demo"), b"+OK logged in")
        self.assertGreater(pop.stat()[0], 0)
        pop.quit()
        # The installed diagnostics program, run headless, accepts the same
        # service, and names its help page in the prefix when a check fails.
        env = rig.environment()
        env["ZORVANE_DIAGNOSTICS_WAIT_MS"] = "30000"
        good = subprocess.run([os.path.join(self.bin, "Zorvane_Diagnostics")], env=env,
                              capture_output=True, timeout=e2e.CLIENT_DEADLINE_S)
        self.assertEqual(good.returncode, 0, (good.stdout + good.stderr).decode("latin-1"))

        unreachable = os.path.join(rig.base, "unreachable")
        os.makedirs(os.path.join(unreachable, "Zorvane"))
        with open(os.path.join(unreachable, "Zorvane", "Zorvane.ini"), "w") as f:
            f.write("[Preferences]\nPop3Port=%d\nSmtpPort=%d\nServiceUrl=http://127.0.0.1:%d/dav/\n"
                    % (e2e.free_port(), e2e.free_port(), e2e.free_port()))
        env["XDG_CONFIG_HOME"] = unreachable
        bad = subprocess.run([os.path.join(self.bin, "Zorvane_Diagnostics")], env=env,
                             capture_output=True, timeout=e2e.CLIENT_DEADLINE_S)
        self.assertEqual(bad.returncode, 1)
        page = os.path.join(self.share, "zorvane", "diagnostics-help", "connection.html")
        self.assertIn(("Help: " + page).encode(), bad.stdout)


if __name__ == "__main__":
    unittest.main(verbosity=2)
