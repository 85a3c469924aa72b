"""Installation: cmake --install into a temporary prefix, the systemd unit,
the manual pages, the example home, and the Debian package built by CPack
from the same rules.

usage: install_test.py BUILD_DIR SOURCE_DIR [unittest options]
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

BUILD = None
SOURCE = None


sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "clients"))
from zelfo_harness import free_port  # noqa: E402  (a port free on both families)


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, timeout=300, **kw)


class InstallTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="zelfo-install-")
        cls.prefix = os.path.join(cls.tmp, "prefix")
        out = run(["cmake", "--install", BUILD, "--prefix", cls.prefix])
        if out.returncode != 0:
            raise AssertionError("cmake --install failed: " + out.stderr)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.prefix, *parts)

    def test_installed_files(self):
        files = ["bin/zelfosvr", "bin/zelfo", "share/man/man8/zelfosvr.8", "share/man/man1/zelfo.1",
                 "share/doc/zelfo/examples/set.ini", "share/doc/zelfo/examples/myaccount.ini",
                 "share/doc/zelfo/examples/myshare.txt", "lib/systemd/system/zelfosvr.service"]
        for f in files:
            self.assertTrue(os.path.isfile(self.path(f)), f)
        self.assertTrue(os.access(self.path("bin/zelfosvr"), os.X_OK))
        out = run([self.path("bin/zelfosvr"), "--version"])
        self.assertEqual(out.returncode, 0)

    def test_unit(self):
        with open(self.path("lib/systemd/system/zelfosvr.service")) as f:
            unit = f.read()
        for line in ("Type=simple", "User=zelfo", "Restart=on-failure", "KillSignal=SIGTERM",
                     "AmbientCapabilities=CAP_NET_BIND_SERVICE", "NoNewPrivileges=yes", "ProtectSystem=strict",
                     "PrivateTmp=yes", "ProtectHome=yes"):
            self.assertIn("\n" + line + "\n", unit)
        self.assertRegex(unit, r"\nExecStartPre=/\S*/bin/zelfosvr --check-config --home /etc/zelfo\n")
        self.assertRegex(unit, r"\nExecStart=/\S*/bin/zelfosvr --home /etc/zelfo\n")
        self.assertRegex(unit, r"\nReadWritePaths=.*/etc/zelfo/config")
        verify = shutil.which("systemd-analyze")
        if verify is None:
            self.skipTest("systemd-analyze is not installed")
        # The unit names the server at the configured prefix: point it at the
        # one installed here so that the check finds the program.
        local = os.path.join(self.tmp, "zelfosvr.service")
        with open(local, "w") as f:
            f.write(re.sub(r"/\S*/bin/zelfosvr", self.path("bin/zelfosvr"), unit))
        out = run([verify, "verify", "--man=no", local])
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertNotIn("zelfosvr.service:", out.stderr)

    def test_manual_pages(self):
        groff = shutil.which("groff")
        if groff is None:
            self.skipTest("groff is not installed")
        for page in ("share/man/man8/zelfosvr.8", "share/man/man1/zelfo.1"):
            out = run([groff, "-ww", "-man", "-Tutf8", self.path(page)])
            self.assertEqual(out.returncode, 0, page)
            self.assertEqual(out.stderr, "", page)
            self.assertIn("EXIT STATUS", re.sub(".\b", "", out.stdout), page)
        if shutil.which("man"):
            out = run(["man", "-l", self.path("share/man/man8/zelfosvr.8")], env=dict(os.environ, MANPAGER="cat"))
            self.assertEqual(out.returncode, 0)

    def test_example_settings_name_every_key(self):
        with open(os.path.join(SOURCE, "src", "core", "settings.cc")) as f:
            code = f.read()
        keys = set(re.findall(r'r\.(?:Int|Int64|Flag|Word|Uint|Text|Directory)\(sec, "(\w+)"', code))
        keys |= set(re.findall(r'Choose\(r, \{sec, "(\w+)"\}', code))
        keys |= set(re.findall(r'pick\("(\w+)"\)', code))
        keys |= set(re.findall(r'r\.\w+\("Zelfo_\w+", "(\w+)"', code))
        keys |= {"Tls_privatekeypass", "Tls_privatekeyfile", "TLS_certificatefile", "Encode_string"}
        self.assertGreater(len(keys), 100)
        with open(self.path("share/doc/zelfo/examples/set.ini")) as f:
            example = set(re.findall(r"^;?(\w+)=", f.read(), re.M))
        self.assertEqual(sorted(keys - example), [])

    def example_home(self, with_certificate):
        home = tempfile.mkdtemp(dir=self.tmp)
        conf = os.path.join(home, "config")
        os.makedirs(conf)
        for f in ("set.ini", "myaccount.ini", "myshare.txt"):
            shutil.copy(self.path("share/doc/zelfo/examples", f), conf)
        os.makedirs(os.path.join(home, "share"))
        os.makedirs(os.path.join(home, "backup"))
        with open(os.path.join(conf, "set.ini")) as f:
            text = f.read()
        # Free ports instead of 21, 2020 and 8080 on this machine.
        ports = set()
        while len(ports) < 3:
            ports.add(free_port())
        ftp, econn, http = sorted(ports)
        text = text.replace(";Service_portv4=21", "Service_portv4=%d" % ftp)
        text = text.replace(";Service_portv6=21", "Service_portv6=%d" % ftp)
        text = text.replace(";Econ_portv4=2020", "Econ_portv4=%d" % econn)
        text = text.replace(";Econ_portv6=2020", "Econ_portv6=%d" % econn)
        text = text.replace(";Service_portv4=8080", "Service_portv4=%d" % http)
        text = text.replace(";Service_portv6=8080", "Service_portv6=%d" % http)
        with open(os.path.join(conf, "set.ini"), "w") as f:
            f.write(text)
        with open(os.path.join(conf, "myaccount.ini")) as f:
            accounts = f.read()
        accounts = accounts.replace("Active_Mode=0", "Active_Mode=1").replace(";SPass_Word=", "Pass_Word=secret")
        accounts = accounts.replace("/srv/zelfo/backup/admin", os.path.join(home, "backup"))
        with open(os.path.join(conf, "myaccount.ini"), "w") as f:
            f.write(accounts)
        if with_certificate:
            subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                            "-nodes", "-days", "30", "-subj", "/CN=localhost", "-keyout",
                            os.path.join(conf, "sslkey.pem"), "-out", os.path.join(conf, "sslcert.pem")],
                           check=True, capture_output=True)
        return home

    def test_check_config_on_the_example_home(self):
        server = self.path("bin/zelfosvr")
        good = run([server, "--check-config", "--home", self.example_home(True)])
        self.assertEqual(good.returncode, 0, good.stderr)
        bad = run([server, "--check-config", "--home", self.example_home(False)])
        self.assertEqual(bad.returncode, 1)
        self.assertRegex(bad.stderr.lower(), "certificate|ssl|tls")

    def test_debian_package(self):
        if shutil.which("dpkg-deb") is None:
            self.skipTest("dpkg-deb is not installed")
        out_dir = os.path.join(self.tmp, "pkg")
        out = run(["cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", out_dir])
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        debs = [f for f in os.listdir(out_dir) if f.endswith(".deb")]
        self.assertEqual(len(debs), 1, os.listdir(out_dir))
        deb = os.path.join(out_dir, debs[0])
        listing = run(["dpkg-deb", "-c", deb]).stdout
        for name in ("bin/zelfosvr", "bin/zelfo", "man8/zelfosvr.8", "man1/zelfo.1", "examples/set.ini",
                     "systemd/system/zelfosvr.service"):
            self.assertIn(name, listing)
        info = run(["dpkg-deb", "-I", deb]).stdout
        self.assertIn("Package: zelfo", info)
        self.assertIn("postinst", info)
        self.assertIn("postrm", info)
        root = os.path.join(self.tmp, "extracted")
        self.assertEqual(run(["dpkg-deb", "-x", deb, root]).returncode, 0)
        servers = [os.path.join(b, "zelfosvr") for b, _, fs in os.walk(root) if "zelfosvr" in fs]
        self.assertEqual(len(servers), 1)
        self.assertEqual(run([servers[0], "--version"]).returncode, 0)


if __name__ == "__main__":
    BUILD = os.path.abspath(sys.argv.pop(1))
    SOURCE = os.path.abspath(sys.argv.pop(1))
    unittest.main()
