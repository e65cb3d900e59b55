"""The whole update, path by path, with the real vxstarter.exe: the dialog driven as a customer
would, the local servers, and the stand-in host program and companions in the working folder."""
import os
import shutil
import struct
import subprocess
import sys
import zipfile

import vxe2e

GOOD_CODE = 123456
CHECK = "/admin/system/check_code.php"
VERSION = "/download/app/customer/version.php"
PACKAGE = "/download/app/customer/{}.zip"
MEMBER_VERBS = ["-stop", "-remove", "-install", "-start"]
# A starter built with a package key of the build tree's own (tests/e2e/CMakeLists.txt).
KEYED_STARTER = os.path.join(vxe2e.BUILD_DIR, "tests", "e2e", "vxstarter_keyed.exe")
BUILD_KEY = os.path.join(vxe2e.BUILD_DIR, "tests", "e2e", "package-key", "package-private.pem")


class UpdatePathsTest(vxe2e.PackageTestCase):
    def serve(self, version="2.0", probe="1", port=443, version_answer=None, package=None, down=(), redirect=None,
              signature=None):
        """signature: the file served as the package's signature file. redirect (path, target port, status) redirects path to target, where every request is answered as on
        port: Wine keeps the connection pointed at a redirect's target for the requests after it."""
        routes = {
            "80 /server.html": {"body": probe},
            f"{port} {CHECK}": {"body": "FALSE"},
            f"{port} {CHECK}?code={GOOD_CODE}": {"body": "OK"},
            f"{port} {VERSION}": version_answer or {"body": version},
            f"{port} {PACKAGE.format(version)}": package or {"body_file": self.package_path},
        }
        if signature:
            routes[f"{port} {PACKAGE.format(version)}.sig"] = {"body_file": signature}
        if redirect:
            path, target, status = redirect
            routes.update({f"{target} {key.split(' ', 1)[1]}": answer for key, answer in routes.items()
                           if key.startswith(f"{port} ")})
            routes[f"{port} {path}"] = {"redirect_to": target, "status": status}
        self.servers.set({"routes": routes, "down": list(down)})

    def run_update(self, code=GOOD_CODE, backup=False, starter=None, locale=None, removed=True):
        """One whole run: the code entered, then the host started and (unless told not to wait for
        it) the program file removed."""
        locale = locale or vxe2e.ENGLISH
        starter = (starter or self.new_starter()).start(env=vxe2e.wine_env(**locale))
        self.enter_code(code, caption=vxe2e.ENGLISH_CAPTION if locale == vxe2e.ENGLISH else "Vantorix")
        self.assertTrue(vxe2e.wait_until(lambda: vxe2e.host_verbs(backup)[-1:] == ["-start"], 90),
                        f"the host program was not started: {vxe2e.host_verbs(backup)}")
        if removed:
            self.assertTrue(vxe2e.wait_until(starter.gone, 60), "the program file was not removed")
        return starter

    def assert_requests(self, expected):
        requests = self.requests()
        self.assertEqual(expected, [(r["port"], r["path"]) for r in requests])
        for r in requests:
            self.assertEqual(("Vantorix", "*/*", "HTTP/1.0"), (r["user_agent"], r["accept"], r["version"]), r)

    def assert_package_installed(self, backup=False):
        folder = vxe2e.working_folder(backup)
        for name, data in self.package_files.items():
            with open(os.path.join(folder, *name.split("/")), "rb") as f:
                self.assertEqual(data, f.read(), name)
        self.assertFalse([n for n in os.listdir(folder) if n.endswith(".zip")], "the archive was left behind")

    def assert_host_left_alone(self, backup=False):
        with open(os.path.join(vxe2e.working_folder(backup), "vxagent.exe"), "rb") as f:
            self.assertFalse(f.read().endswith(vxe2e.PACKAGE_MARK))

    def test_cancelled_dialog_stops_nothing_and_removes_the_program(self):
        self.serve()
        folder = vxe2e.install_old_product("1.0")
        host = vxe2e.start_program(os.path.join(folder, "vxagent.exe"), "-start")
        vxe2e.start_program(os.path.join(folder, "vxpanel.exe"))
        self.assertTrue(vxe2e.wait_until(lambda: vxe2e.host_verbs() == ["-start"], 30))
        with open(os.path.join(folder, "info.dat"), "rb") as f:
            info_before = f.read()

        starter = self.start_starter()
        self.ui("wait", vxe2e.ENGLISH_CAPTION)
        self.ui("key", vxe2e.ENGLISH_CAPTION, "escape")
        self.assertTrue(vxe2e.wait_until(starter.gone, 60), "the program file was not removed")

        self.assert_requests([(80, "/server.html")])
        self.assertEqual(["-start"], vxe2e.host_verbs())
        self.assertIsNone(host.poll(), "the host program was stopped")
        self.assertIn("vxpanel.exe", vxe2e.running_programs())
        with open(os.path.join(folder, "info.dat"), "rb") as f:
            self.assertEqual(info_before, f.read())
        # The script removes the folder on its line after the program's: a moment later.
        self.assertTrue(vxe2e.wait_until(lambda: not os.path.exists(starter.folder), 10),
                        "the program's empty folder was left")

    def leave_update_of_a_companion(self, folder, committed):
        """The staging folder and journal of an update of vxpanel.exe to 2.0 that an ended run left:
        the installed file kept aside, and the new one placed only once the update is committed."""
        staging = os.path.join(folder, "~vxstage")
        slot = os.path.join(staging, "0")  # where the first entries wait
        os.mkdir(staging, 0o700)
        os.mkdir(slot, 0o700)
        os.rename(os.path.join(folder, "vxpanel.exe"), os.path.join(slot, "0.old"))
        with open(os.path.join(slot, "0"), "wb") as f:
            f.write(b"new panel")
        target, name = "vxpanel.exe".encode("utf-16-le"), "2.0.zip".encode("utf-16-le")
        record = struct.pack("<IIQQI", 0, 1, os.stat(os.path.join(slot, "0.old")).st_ino,
                             os.stat(os.path.join(slot, "0")).st_ino, len(target) // 2) + target
        with open(os.path.join(staging, "journal"), "wb") as f:
            f.write(struct.pack("<4sIIII", b"VXJ1", int(committed), 1, 20 + len(name) + len(record), len(name) // 2)
                    + name + record)
        if committed:
            os.rename(os.path.join(slot, "0"), os.path.join(folder, "vxpanel.exe"))

    def test_current_version_restarts_the_host_without_a_download(self):
        self.serve(version="1.0")
        folder = vxe2e.install_old_product("1.0")
        # An earlier run was ended between the two renames of a companion program: the installed
        # one kept aside, the new one not yet in place. This run puts the installed one back first.
        before = vxe2e.tree_snapshot(folder, skip=("info.dat",))
        self.leave_update_of_a_companion(folder, committed=False)

        self.run_update()

        self.assertEqual(before, vxe2e.tree_snapshot(folder, skip=("info.dat", "standin.log")))

        self.assert_requests([(80, "/server.html"), (443, f"{CHECK}?code={GOOD_CODE}"), (443, VERSION)])
        records = vxe2e.host_records()
        self.assertEqual(MEMBER_VERBS, [r["verb"] for r in records])
        self.assertEqual({"code_str": str(GOOD_CODE), "restarted": "1", "version": "1.0"}, records[-1]["info"])
        self.assertEqual({"version": "1.0", "code_str": str(GOOD_CODE), "restarted": "1"}, vxe2e.read_info())
        self.assert_host_left_alone()

    def test_new_version_is_downloaded_unpacked_and_recorded(self):
        self.serve(version="2.0")
        folder = vxe2e.install_old_product("1.0")
        # An earlier run's host and companions are still running: they must be ended before the
        # package replaces their files.
        vxe2e.start_program(os.path.join(folder, "vxagent.exe"), "-start")
        for companion in vxe2e.HOST_PROGRAMS[1:]:
            vxe2e.start_program(os.path.join(folder, companion))
        self.assertTrue(vxe2e.wait_until(lambda: len(vxe2e.running_programs()) >= 4, 30))

        self.run_update()

        self.assert_requests([(80, "/server.html"), (443, f"{CHECK}?code={GOOD_CODE}"), (443, VERSION),
                              (443, PACKAGE.format("2.0"))])
        self.assert_package_installed()
        self.assertEqual(["-start"] + MEMBER_VERBS, vxe2e.host_verbs())
        final = vxe2e.host_records()[-1]
        self.assertEqual(str(GOOD_CODE), final["info"]["code_str"])
        self.assertEqual("2.0", vxe2e.read_info()["version"])
        running = vxe2e.running_programs()
        self.assertEqual(1, running.count("vxagent.exe"), running)
        for companion in vxe2e.HOST_PROGRAMS[1:]:
            self.assertNotIn(companion, running)

    def test_package_and_version_answer_made_by_the_package_tool_are_installed(self):
        source = os.path.join(self.scratch, "release")
        for name, data in self.package_files.items():
            os.makedirs(os.path.dirname(os.path.join(source, name)), exist_ok=True)
            with open(os.path.join(source, name), "wb") as f:
                f.write(data)
        published = os.path.join(self.scratch, "published")
        subprocess.run([sys.executable, os.path.join(vxe2e.SOURCE_DIR, "scripts", "package"), source, "2.1", "--out",
                        published], check=True, stdout=subprocess.DEVNULL)
        vxe2e.install_old_product("1.0")
        self.serve(version="2.1", version_answer={"body_file": os.path.join(published, "version.txt")},
                   package={"body_file": os.path.join(published, "2.1.zip")})

        self.run_update()

        self.assert_requests([(80, "/server.html"), (443, f"{CHECK}?code={GOOD_CODE}"), (443, VERSION),
                              (443, PACKAGE.format("2.1"))])
        self.assert_package_installed()
        self.assertEqual("2.1", vxe2e.read_info()["version"])
        self.assertEqual(MEMBER_VERBS, vxe2e.host_verbs())
        self.assertEqual(vxe2e.windows_path(os.path.join(vxe2e.working_folder(), "vxagent.exe")).lower(),
                         vxe2e.host_records()[-1]["path"].lower())

    def test_a_starter_built_with_a_key_installs_only_a_package_signed_with_it(self):
        tool = os.path.join(vxe2e.SOURCE_DIR, "scripts", "package")
        source = os.path.join(self.scratch, "release")
        for name, data in self.package_files.items():
            os.makedirs(os.path.dirname(os.path.join(source, name)), exist_ok=True)
            with open(os.path.join(source, name), "wb") as f:
                f.write(data)
        other_key = os.path.join(self.scratch, "other", "package-private.pem")
        subprocess.run([sys.executable, tool, "--keygen", os.path.dirname(other_key)], check=True,
                       stdout=subprocess.DEVNULL)
        folder = vxe2e.install_old_product("1.0")
        before = vxe2e.tree_snapshot(folder, skip=("info.dat", "standin.log"))
        signature = PACKAGE.format("2.1") + ".sig"
        for key in (None, other_key, BUILD_KEY):  # unsigned, signed with another key, with the build's
            published = os.path.join(self.scratch, os.path.basename(os.path.dirname(key or "/unsigned/")))
            subprocess.run([sys.executable, tool, source, "2.1", "--out", published, *(["--sign", key] if key else [])],
                           check=True, stdout=subprocess.DEVNULL)
            self.serve(version="2.1", package={"body_file": os.path.join(published, "2.1.zip")},
                       signature=key and os.path.join(published, "2.1.zip.sig"))
            self.servers.clear_log()
            starter = self.new_starter()
            shutil.copy2(KEYED_STARTER, starter.path)
            self.run_update(starter=starter)
            vxe2e.end_programs()
            if key != BUILD_KEY:
                self.assert_requests([(80, "/server.html"), (443, f"{CHECK}?code={GOOD_CODE}"), (443, VERSION),
                                      (443, signature)])
                self.assertEqual("1.0", vxe2e.read_info()["version"], key)
                self.assertEqual(before, vxe2e.tree_snapshot(folder, skip=("info.dat", "standin.log")), key)
        self.assert_requests([(80, "/server.html"), (443, f"{CHECK}?code={GOOD_CODE}"), (443, VERSION),
                              (443, signature), (443, PACKAGE.format("2.1"))])
        self.assert_package_installed()
        self.assertEqual("2.1", vxe2e.read_info()["version"])

    def test_probe_selects_the_backup_server_and_folder(self):
        self.serve(version="2.0", probe="2", port=8080)

        self.run_update(backup=True)

        self.assert_requests([(80, "/server.html"), (8080, f"{CHECK}?code={GOOD_CODE}"), (8080, VERSION),
                              (8080, PACKAGE.format("2.0"))])
        self.assert_package_installed(backup=True)
        self.assertEqual("2.0", vxe2e.read_info(backup=True)["version"])
        self.assertFalse(os.path.exists(vxe2e.working_folder()))

    def test_unreachable_probe_server_means_the_primary_server(self):
        self.serve(version="2.0", down=[80])

        self.run_update()

        self.assert_requests([(443, f"{CHECK}?code={GOOD_CODE}"), (443, VERSION), (443, PACKAGE.format("2.0"))])
        self.assert_package_installed()

    def test_version_with_line_end_is_refused_and_asked_again(self):
        vxe2e.install_old_product("1.0")
        self.serve(version_answer={"body": "2.0\r\n"})

        for _ in range(2):
            self.servers.clear_log()
            self.run_update()
            vxe2e.end_programs()
            self.assert_requests([(80, "/server.html"), (443, f"{CHECK}?code={GOOD_CODE}"), (443, VERSION)])
            self.assertEqual("1.0", vxe2e.read_info()["version"])
        self.assert_host_left_alone()

    def test_failed_version_query_still_asks_for_the_package_and_keeps_the_version(self):
        folder = vxe2e.install_old_product("1.0")
        self.serve(version_answer={"status": 500, "body": "oops"})
        # An earlier run had put every file of 2.0 in place but was ended before it recorded 2.0.
        self.leave_update_of_a_companion(folder, committed=True)

        self.run_update()

        self.assert_requests([(80, "/server.html"), (443, f"{CHECK}?code={GOOD_CODE}"), (443, VERSION),
                              (443, PACKAGE.format(""))])
        self.assertEqual("2.0", vxe2e.read_info()["version"])
        with open(os.path.join(folder, "vxpanel.exe"), "rb") as f:
            self.assertEqual(b"new panel", f.read())
        self.assertFalse(os.path.exists(os.path.join(folder, "~vxstage")), "the replaced file was left")
        self.assertEqual(MEMBER_VERBS, vxe2e.host_verbs())

    def test_cut_download_keeps_the_version_and_the_next_run_downloads_again(self):
        vxe2e.install_old_product("1.0")
        self.serve(version="2.0", package={"body_file": self.package_path, "cut_after": 1000})

        self.run_update()
        vxe2e.end_programs()
        self.assertEqual("1.0", vxe2e.read_info()["version"])
        self.assert_host_left_alone()

        self.servers.clear_log()
        self.serve(version="2.0")
        self.run_update()
        self.assert_requests([(80, "/server.html"), (443, f"{CHECK}?code={GOOD_CODE}"), (443, VERSION),
                              (443, PACKAGE.format("2.0"))])
        self.assert_package_installed()
        self.assertEqual("2.0", vxe2e.read_info()["version"])

    def test_a_damaged_package_changes_nothing_and_the_next_run_clears_a_staging_folder_left_and_installs(self):
        folder = vxe2e.install_old_product("1.0")
        # The last entry's data no longer matches its CRC-32: found only after every other entry.
        big = bytes(range(256)) * 40000
        with zipfile.ZipFile(self.package_path, "a") as archive:
            archive.writestr("data/zz-last.bin", big, zipfile.ZIP_STORED)
            last = archive.getinfo("data/zz-last.bin")
        with open(self.package_path, "r+b") as f:
            f.seek(last.header_offset + 30 + len(last.filename) + 1000)
            f.write(b"\xff")
        self.serve(version="2.0")
        before = vxe2e.tree_snapshot(folder, skip=("info.dat", "standin.log"))

        self.run_update()

        self.assertEqual("1.0", vxe2e.read_info()["version"])
        self.assertEqual(MEMBER_VERBS, vxe2e.host_verbs())
        self.assertEqual(before, vxe2e.tree_snapshot(folder, skip=("info.dat", "standin.log")))
        self.assert_host_left_alone()

        # A run ended while it unpacks leaves its staging folder, as this one: the next run clears it
        # and installs.
        staging = os.path.join(folder, "~vxstaging")
        os.makedirs(os.path.join(staging, "sub"))
        for name in ("0", "1.old", os.path.join("sub", "x")):
            with open(os.path.join(staging, name), "wb") as f:
                f.write(b"left by an ended run")
        self.package_files = vxe2e.make_package(self.package_path)
        self.servers.clear_log()
        self.run_update()
        self.assert_package_installed()
        self.assertEqual("2.0", vxe2e.read_info()["version"])
        self.assertFalse(os.path.exists(staging), "the staging folder was left")

    def test_links_in_the_working_folder_are_not_written_through(self):
        # Any user can link a package folder elsewhere, or give an installed file a second name.
        outside = vxe2e.drive_c("outside")
        os.makedirs(outside, exist_ok=True)
        with open(os.path.join(outside, "keep.txt"), "wb") as f:
            f.write(b"not the product's")
        self.serve(version="2.0")
        for link in ("folder", "hard link"):
            with self.subTest(link=link):
                folder = vxe2e.install_old_product("1.0")
                if link == "folder":
                    os.symlink(outside, os.path.join(folder, "data"))
                else:
                    os.remove(os.path.join(folder, "vxpanel.exe"))
                    os.link(os.path.join(outside, "keep.txt"), os.path.join(folder, "vxpanel.exe"))
                before = vxe2e.tree_snapshot(outside)
                self.run_update()
                self.assertEqual(before, vxe2e.tree_snapshot(outside))
                self.assertEqual("1.0", vxe2e.read_info()["version"])
                self.assertEqual(MEMBER_VERBS, vxe2e.host_verbs())
                self.assert_host_left_alone()
                vxe2e.end_programs()
                shutil.rmtree(vxe2e.product_folder())

    def test_only_answers_over_tls_install_a_package(self):
        # (A version query redirected to plain HTTP cannot be told apart here: Wine then sends the package
        # request over TLS to port 80, which fails either way. The unit tests show it fails the query.)
        for path, port, status, installed in ((PACKAGE.format("2.0"), 80, 302, False),
                                              (PACKAGE.format("2.0"), 8080, 301, True), (VERSION, 8080, 302, True),
                                              (f"{CHECK}?code={GOOD_CODE}", 8080, 302, True)):
            with self.subTest(path=path, port=port):
                vxe2e.end_programs()
                shutil.rmtree(vxe2e.product_folder(), ignore_errors=True)
                vxe2e.install_old_product("1.0")
                self.servers.clear_log()
                self.serve(version="2.0", redirect=(path, port, status))

                self.run_update()

                self.assertIn((port, path), self.request_paths(), "the redirect was followed")
                self.assertEqual("2.0" if installed else "1.0", vxe2e.read_info()["version"])
                if installed:
                    self.assert_package_installed()
                else:
                    self.assert_host_left_alone()
                    self.assertFalse(os.path.exists(os.path.join(vxe2e.working_folder(), "data")))
                    self.assertFalse([n for n in os.listdir(vxe2e.working_folder()) if n.endswith(".zip")])
                self.assertEqual(MEMBER_VERBS, vxe2e.host_verbs())

    def test_code_check_redirected_to_plain_http_refuses_the_code(self):
        vxe2e.install_old_product("1.0")
        self.serve(version="2.0", redirect=(f"{CHECK}?code={GOOD_CODE}", 80, 302))
        starter = self.start_starter()
        self.enter_code(GOOD_CODE)
        self.assertTrue(vxe2e.wait_until(
            lambda: self.ui("text", vxe2e.ENGLISH_CAPTION, "1004") == "Invalid access code", 30))
        self.ui("key", vxe2e.ENGLISH_CAPTION, "escape")
        self.assertTrue(vxe2e.wait_until(starter.gone, 60), "the program file was not removed")

        self.assertIn((80, f"{CHECK}?code={GOOD_CODE}"), self.request_paths(), "the redirect was followed")
        self.assertEqual([], vxe2e.host_verbs())
        self.assertEqual("1.0", vxe2e.read_info()["version"])
        self.assert_host_left_alone()

    def test_host_program_beside_the_starter_is_never_started(self):
        self.serve(version="1.0")
        vxe2e.install_old_product("1.0")
        starter = self.new_starter()
        shutil.copy2(os.path.join(vxe2e.STANDIN_DIR, "vxagent.exe"), os.path.join(starter.folder, "vxagent.exe"))

        self.run_update(starter=starter)

        self.assertEqual(MEMBER_VERBS, vxe2e.host_verbs())
        self.assertFalse(os.path.exists(os.path.join(starter.folder, "standin.log")))

    def test_refused_code_then_accepted_code(self):
        self.serve(version="2.0")
        starter = self.start_starter()
        self.enter_code(111)
        self.assertTrue(vxe2e.wait_until(
            lambda: self.ui("text", vxe2e.ENGLISH_CAPTION, "1004") == "Invalid access code", 30))
        self.assertEqual([], vxe2e.host_verbs())
        self.ui("paste", vxe2e.ENGLISH_CAPTION, str(GOOD_CODE))
        self.ui("key", vxe2e.ENGLISH_CAPTION, "enter")
        self.assertTrue(vxe2e.wait_until(lambda: vxe2e.host_verbs()[-1:] == ["-start"], 90))
        self.assertTrue(vxe2e.wait_until(starter.gone, 60))

        self.assert_requests([(80, "/server.html"), (443, f"{CHECK}?code=111"), (443, f"{CHECK}?code={GOOD_CODE}"),
                              (443, VERSION), (443, PACKAGE.format("2.0"))])
        self.assertEqual(str(GOOD_CODE), vxe2e.read_info()["code_str"])
        self.assert_package_installed()

    def test_a_package_with_japanese_names_from_profiles_named_outside_ascii(self):
        # Names as Python's zipfile stores them: UTF-8 with the language-encoding flag.
        japanese = {"データ/表.txt": "表".encode("cp932"), "ソフト/能力/申.bin": b"\x00\x5c"}
        for user, locale in (("山田太郎", vxe2e.JAPANESE), ("José", vxe2e.ENGLISH)):
            with self.subTest(user=user):
                self.package_files = vxe2e.make_package(self.package_path, japanese)
                self.serve(version="2.0")
                self.servers.clear_log()
                vxe2e.install_old_product("1.0")
                self.run_update(starter=self.new_starter(user), locale=locale, removed=False)
                self.assertEqual(MEMBER_VERBS, vxe2e.host_verbs())
                self.assert_package_installed()
                self.assertEqual("2.0", vxe2e.read_info()["version"])
                vxe2e.end_programs()
                shutil.rmtree(vxe2e.product_folder())

    def test_the_relaunch_names_its_own_program_when_the_ansi_code_page_cannot(self):
        # Cyrillic has no ANSI form under 1252, and "José" is best fit to "Jose" under 932, where a
        # planted program waits to be started elevated.
        planted = vxe2e.Starter("Jose")
        shutil.copy2(os.path.join(vxe2e.STANDIN_DIR, "vxagent.exe"), planted.path)
        self.serve()
        for folder, locale, caption in (("Привет", vxe2e.ENGLISH, vxe2e.ENGLISH_CAPTION),
                                        ("José", vxe2e.JAPANESE, "Vantorix")):
            with self.subTest(folder=folder):
                # Wine's user is an administrator: only the relaunched instance shows the dialog.
                starter = vxe2e.Starter(folder).start(env=vxe2e.wine_env(**locale))
                self.ui("wait", caption)
                self.ui("key", caption, "escape")
                self.assertTrue(starter.wait_for_end(), vxe2e.starter_processes())
                self.assertFalse(os.path.exists(os.path.join(planted.folder, "standin.log")),
                                 "the planted program was started")


if __name__ == "__main__":
    vxe2e.main()
