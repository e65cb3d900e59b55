"""The sample server (scripts/serve: nginx from tools/server/nginx.conf.in) serving whole updates to
the real vxstarter.exe, the TLS it offers to Windows 7's suites, and its stop on Ctrl+C. Runs in a test
bed without its own servers (vxrun --no-servers), so nginx has the ports 80, 443 and 8080."""
import glob
import os
import pathlib
import re
import runpy
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest.mock

import vxe2e
from testbed import pki as pki_mod
from testbed import servers as servers_mod

GOOD_CODE = 123456
REFUSED_CODE = 111
CHECK = "/admin/system/check_code.php?code={}"
VERSION = "/download/app/customer/version.php"
PACKAGE = "/download/app/customer/{}.zip"
MEMBER_VERBS = ["-stop", "-remove", "-install", "-start"]
PKI = pki_mod.Pki(os.environ.get("VX_TESTBED_PKI", ""))
CA_CERT = os.path.join(PKI.folder, "ca.crt")
# What Windows 7's Schannel offers for TLS 1.2 (Microsoft's "TLS Cipher Suites in Windows 7", with
# update 3042058), less RC4, 3DES and DSS, which no server here offers: no ECDHE-RSA with AES-GCM.
WINDOWS7_SUITES = ("ECDHE-RSA-AES256-SHA384:ECDHE-RSA-AES128-SHA256:ECDHE-RSA-AES256-SHA:ECDHE-RSA-AES128-SHA:"
                   "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-SHA384:"
                   "ECDHE-ECDSA-AES128-SHA256:ECDHE-ECDSA-AES256-SHA:ECDHE-ECDSA-AES128-SHA:"
                   "AES256-SHA256:AES128-SHA256:AES256-SHA:AES128-SHA")
WINDOWS7_CURVES = "P-256:P-384"
WINDOWS7_SIGALGS = "RSA+SHA256:RSA+SHA384:RSA+SHA1:ECDSA+SHA256:ECDSA+SHA384:ECDSA+SHA1"
LOG_LINE = re.compile(r'(\d+) "GET (\S+) (HTTP/[\d.]+)" (\d+) (\d+) "([^"]*)" "([^"]*)" "([^"]*)" (\S+) \S+')


def process_ids_in_group(group):
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if fields[2] == str(group):  # the fields after the name: state, parent, process group
            found.append(int(entry))
    return found


class Serve:
    """scripts/serve in a process group of its own, as in a terminal of its own."""

    def __init__(self, folder, temp):
        self.temp = temp
        self.errors = open(os.path.join(temp, "serve.err"), "w")
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(vxe2e.SOURCE_DIR, "scripts", "serve"), "--dir", folder,
             "--cert", PKI.server_cert, "--key", PKI.server_key],
            env=dict(os.environ, TMPDIR=temp), stdout=subprocess.PIPE, stderr=self.errors, text=True,
            start_new_session=True)
        self.banner = self.process.stdout.readline()
        ports = (servers_mod.PROBE_PORT, servers_mod.PRIMARY_PORT, servers_mod.BACKUP_PORT)
        if not vxe2e.wait_until(lambda: all(servers_mod.port_is_open(p) for p in ports), 20):
            self.interrupt()
            raise AssertionError(f"scripts/serve did not open its ports: {self.banner!r}")

    def runtime_folders(self):
        return glob.glob(os.path.join(self.temp, "vx-serve-*"))

    def requests(self):
        """(port, path, HTTP version, status, body bytes, User-Agent, Accept, Accept-Encoding, TLS
        version or "-") of each request in nginx's access log."""
        with open(os.path.join(self.runtime_folders()[0], "access.log")) as f:
            return [(int(m[1]), m[2], m[3], int(m[4]), int(m[5]), m[6], m[7], m[8], m[9])
                    for m in map(LOG_LINE.fullmatch, f.read().splitlines())]

    def interrupt(self):
        """Ctrl+C as a terminal sends it, to the whole group; the exit code."""
        return self.stop(lambda: os.killpg(self.process.pid, signal.SIGINT))

    def stop(self, send):
        if self.process.poll() is None:
            send()
        try:
            return self.process.wait(30)
        finally:
            self.process.stdout.close()
            self.errors.close()


class ServeChecksTest(unittest.TestCase):  # needs neither Wine nor the ports: natively too
    def test_checks_at_the_start_with_nginx_testing_the_configuration_it_would_run(self):
        main = runpy.run_path(os.path.join(vxe2e.SOURCE_DIR, "scripts", "serve"))["main"]
        folder = self.enterContext(tempfile.TemporaryDirectory())
        pki_mod._make_ca(folder, "server", "localhost")
        pathlib.Path(folder, "version.txt").write_text("2.1")
        test = lambda nginx, run, _: sys.exit(pathlib.Path(run, "nginx.conf").read_text() + subprocess.run(
            [nginx, "-t", "-p", run, "-c", f"{run}/nginx.conf"], capture_output=True, text=True).stderr)
        cases = [  # (refused-codes.txt, options, IPv6, the folder's mode, in the configuration or serve's last line)
            ("# trial codes\n111\n999\n111\n", [], True, 0o755, ["user www-data www-data;", "[::]:8080", "successful"]),
            ("111\n", ["--user", "nobody"], False, 0o755, ["nobody nogroup", "successful", "listen 80;\n        r"]),
            ("111\n", [], True, 0o700, [f"serve: www-data cannot read {folder}, and nginx's workers run as www-data"]),
        ]
        for codes, options, ipv6, mode, expected in cases:
            os.chmod(folder, mode)
            pathlib.Path(folder, "refused-codes.txt").write_text(codes)
            with unittest.mock.patch.dict(main.__globals__, run_nginx=test, host_has_ipv6=lambda: ipv6), \
                    self.assertRaises(SystemExit) as stop:
                main(["--dir", folder, "--cert", f"{folder}/server.crt", "--key", f"{folder}/server.key", *options])
            self.assertEqual([], [text for text in expected if text not in stop.exception.code], stop.exception.code)


class NginxServerTest(vxe2e.PackageTestCase):
    def setUp(self):
        super().setUp()
        source = os.path.join(self.scratch, "release")
        for name, data in self.package_files.items():
            os.makedirs(os.path.dirname(os.path.join(source, name)), exist_ok=True)
            with open(os.path.join(source, name), "wb") as f:
                f.write(data)
        self.published = os.path.join(self.scratch, "published")
        subprocess.run(["chmod", "711", vxe2e.RUN_DIR, self.scratch], check=True)  # for nginx's workers
        # Signed with the key of the build tree's keyed starter, which the backup server's run uses.
        subprocess.run([sys.executable, os.path.join(vxe2e.SOURCE_DIR, "scripts", "package"), source, "2.1",
                        "--out", self.published, "--sign", os.path.join(vxe2e.BUILD_DIR, "tests", "e2e",
                                                                         "package-key", "package-private.pem")],
                       check=True, stdout=subprocess.DEVNULL)
        self.set_probe_answer("1")
        with open(os.path.join(self.published, "refused-codes.txt"), "w") as f:
            f.write(f"999\n{REFUSED_CODE}\n")
        self.serve_temp = os.path.join(self.scratch, "temp")
        os.makedirs(self.serve_temp)
        self.serve = Serve(self.published, self.serve_temp)

    def tearDown(self):
        self.serve.interrupt()
        super().tearDown()

    def set_probe_answer(self, answer):
        with open(os.path.join(self.published, "server.html"), "w", newline="") as f:
            f.write(answer)

    def run_update(self, backup=False, program=vxe2e.STARTER):
        starter = self.new_starter()
        shutil.copy2(program, starter.path)
        starter.start()
        self.enter_code(REFUSED_CODE)
        self.assertTrue(vxe2e.wait_until(
            lambda: self.ui("text", vxe2e.ENGLISH_CAPTION, "1004") == "Invalid access code", 30))
        self.assertEqual([], vxe2e.host_verbs(backup))
        self.ui("paste", vxe2e.ENGLISH_CAPTION, str(GOOD_CODE))
        self.ui("key", vxe2e.ENGLISH_CAPTION, "enter")
        self.assertTrue(vxe2e.wait_until(lambda: vxe2e.host_verbs(backup)[-1:] == ["-start"], 90),
                        f"the host program was not started: {vxe2e.host_verbs(backup)}")
        self.assertTrue(vxe2e.wait_until(starter.gone, 60), "the program file was not removed")

    def assert_update_served(self, port, backup=False, signed=False):
        package_size = os.path.getsize(os.path.join(self.published, "2.1.zip"))
        signature = [(port, PACKAGE.format("2.1") + ".sig", 200,
                      os.path.getsize(os.path.join(self.published, "2.1.zip.sig")))] if signed else []
        expected = [(80, "/server.html", 200, 1), (port, CHECK.format(REFUSED_CODE), 200, 5),
                    (port, CHECK.format(GOOD_CODE), 200, 2), (port, VERSION, 200, 3), *signature,
                    (port, PACKAGE.format("2.1"), 200, package_size)]
        requests = self.serve.requests()
        self.assertEqual(expected, [(r[0], r[1], r[3], r[4]) for r in requests])
        for request in requests:
            self.assertEqual(("HTTP/1.0", "Vantorix", "*/*", "-"), request[2:3] + request[5:8], request)
            self.assertIn(request[8], ["-"] if request[0] == servers_mod.PROBE_PORT else ["TLSv1.2", "TLSv1.3"])
        folder = vxe2e.working_folder(backup)
        for name, data in self.package_files.items():
            with open(os.path.join(folder, *name.split("/")), "rb") as f:
                self.assertEqual(data, f.read(), name)
        self.assertEqual("2.1", vxe2e.read_info(backup)["version"])
        self.assertEqual(str(GOOD_CODE), vxe2e.read_info(backup)["code_str"])
        self.assertEqual(MEMBER_VERBS, vxe2e.host_verbs(backup))

    def test_refused_and_accepted_code_then_the_package_installed_from_the_primary_server(self):
        vxe2e.install_old_product("1.0")
        self.run_update()
        self.assert_update_served(servers_mod.PRIMARY_PORT)

    def test_probe_answer_2_selects_the_backup_server_and_a_keyed_starter_gets_the_signature(self):
        self.set_probe_answer("2")
        vxe2e.install_old_product("1.0", backup=True)
        self.run_update(backup=True, program=os.path.join(vxe2e.BUILD_DIR, "tests", "e2e", "vxstarter_keyed.exe"))
        self.assert_update_served(servers_mod.BACKUP_PORT, backup=True, signed=True)
        self.assertFalse(os.path.exists(vxe2e.working_folder()))

    def test_tls_1_2_with_windows_7_suites_connects_and_tls_1_1_and_1_0_do_not(self):
        for port in (servers_mod.PRIMARY_PORT, servers_mod.BACKUP_PORT):
            # Security level 0 lets this client offer TLS 1.1 and 1.0 at all: a refusal is then the server's.
            for version, suites, connects in (("-tls1_2", WINDOWS7_SUITES, True),
                                              ("-tls1_1", WINDOWS7_SUITES + ":@SECLEVEL=0", False),
                                              ("-tls1", WINDOWS7_SUITES + ":@SECLEVEL=0", False)):
                with self.subTest(port=port, version=version):
                    result = subprocess.run(
                        ["openssl", "s_client", "-connect", f"localhost:{port}", "-servername", "localhost",
                         version, "-cipher", suites, "-curves", WINDOWS7_CURVES, "-sigalgs", WINDOWS7_SIGALGS,
                         "-CAfile", CA_CERT, "-verify_return_error", "-brief"],
                        stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
                    output = result.stdout + result.stderr
                    if connects:
                        self.assertEqual(0, result.returncode, output)
                        self.assertIn("Protocol version: TLSv1.2", output)
                        suite = re.search(r"Ciphersuite: (\S+)", output)[1]
                        self.assertRegex(suite, r"^ECDHE-RSA-AES\d+-SHA\d*$")  # CBC; not plain RSA
                    else:
                        self.assertNotEqual(0, result.returncode, output)
                        self.assertIn("alert protocol version", output)

    def test_ctrl_c_or_a_term_stops_nginx_and_leaves_no_process_or_folder(self):
        serve = self.serve
        for how, signal_to_send, group_wide in (("Ctrl+C", signal.SIGINT, True), ("kill", signal.SIGTERM, False)):
            with self.subTest(how):
                if serve is None:
                    serve = self.serve = Serve(self.published, self.serve_temp)
                group = serve.process.pid
                processes = process_ids_in_group(group)
                self.assertGreaterEqual(len(processes), 3, "expected the script, nginx's master and a worker")

                send = (lambda: os.killpg(group, signal_to_send)) if group_wide else (
                    lambda: os.kill(group, signal_to_send))
                self.assertEqual(0, serve.stop(send))

                self.assertEqual([], [pid for pid in processes if os.path.exists(f"/proc/{pid}")])
                self.assertEqual([], process_ids_in_group(group))
                self.assertEqual([], serve.runtime_folders())
                for port in (servers_mod.PROBE_PORT, servers_mod.PRIMARY_PORT, servers_mod.BACKUP_PORT):
                    self.assertFalse(servers_mod.port_is_open(port), port)
                serve = None

    def test_a_refused_code_the_starter_never_sends_is_named_and_serve_ends(self):
        with open(os.path.join(self.published, "refused-codes.txt"), "w") as f:
            f.write("111\n0111\n")
        result = subprocess.run([sys.executable, os.path.join(vxe2e.SOURCE_DIR, "scripts", "serve"), "--dir",
                                 self.published, "--cert", PKI.server_cert, "--key", PKI.server_key],
                                capture_output=True, text=True, timeout=30)
        self.assertEqual(1, result.returncode)
        self.assertIn('refused-codes.txt:2: "0111" is not a code as the starter sends it', result.stderr)


if __name__ == "__main__":
    vxe2e.main()
