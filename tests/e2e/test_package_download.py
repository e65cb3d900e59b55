"""The package download and its progress window in whole runs of the real vxstarter.exe: the window
watched with the UI driver while the body arrives, closed by the user, left by a failed download; and
the downloads that must not count as installed (missing, refused, cut or damaged packages)."""
import os
import time

import vxe2e

GOOD_CODE = 123456
CHECK = "/admin/system/check_code.php"
VERSION = "/download/app/customer/version.php"
PACKAGE = "/download/app/customer/{}.zip"
CAPTION = vxe2e.ENGLISH_CAPTION
IDC_PROGRESS_BAR = "1002"


def fields(text):
    return dict(line.split("=", 1) for line in text.splitlines() if "=" in line)


def numbers(text):
    return [int(n) for n in text.split(",")]


class PackageDownloadTest(vxe2e.StarterTestCase):
    def package(self, many_files=0, filler=0):
        """A package file; many_files small files make its unpacking take a while, filler random bytes
        make its download take a while under a rate."""
        extra = {f"data/set{i // 100}/item{i}.txt": f"item {i}\r\n".encode() for i in range(many_files)}
        if filler:
            extra["data/media.bin"] = os.urandom(filler)
        path = os.path.join(self.scratch, f"package{len(os.listdir(self.scratch))}.zip")
        return path, vxe2e.make_package(path, extra)

    def serve(self, version="2.0", package=None):
        self.servers.set({"routes": {
            "80 /server.html": {"body": "1"},
            f"443 {CHECK}?code={GOOD_CODE}": {"body": "OK"},
            f"443 {VERSION}": {"body": version},
            f"443 {PACKAGE.format(version)}": package or {"status": 404, "body": "not found"},
        }})

    def progress_ui(self, *args, timeout=60):
        """The UI driver on the progress window: the window with the bar, not the access-code dialog
        of the same caption."""
        return self.ui("--having", IDC_PROGRESS_BAR, "--timeout", str(timeout), *args, timeout=timeout + 60)

    def bar_position(self):
        """The bar's position, or None once the window has gone."""
        try:
            return int(fields(self.progress_ui("progress", CAPTION, IDC_PROGRESS_BAR, timeout=1))["pos"])
        except AssertionError:
            return None

    @staticmethod
    def starter_running():
        # The elevated instance, which the one started here relaunched before it ended.
        return "vxstarter.exe" in vxe2e.running_programs()

    def finish_run(self, starter):
        self.assertTrue(vxe2e.wait_until(lambda: vxe2e.host_verbs()[-1:] == ["-start"], 90),
                        f"the host program was not started: {vxe2e.host_verbs()}")
        self.assertTrue(vxe2e.wait_until(starter.gone, 60), "the program file was not removed")

    def assert_installed(self, files):
        folder = vxe2e.working_folder()
        for name, data in files.items():
            with open(os.path.join(folder, *name.split("/")), "rb") as f:
                self.assertEqual(data, f.read(), name)
        self.assertEqual([], [n for n in os.listdir(folder) if n.endswith(".zip")], "the archive was left behind")

    def assert_not_installed(self):
        folder = vxe2e.working_folder()
        with open(os.path.join(folder, "vxagent.exe"), "rb") as f:
            self.assertFalse(f.read().endswith(vxe2e.PACKAGE_MARK), "the package was unpacked")
        self.assertFalse(os.path.exists(os.path.join(folder, "data")))
        self.assertEqual("1.0", vxe2e.read_info()["version"])

    def assert_requests(self, expected):
        self.assertEqual(expected, self.request_paths())

    def test_window_shows_centred_and_topmost_climbs_to_100_and_closes_after_the_unpack(self):
        path, files = self.package(many_files=2500, filler=1_500_000)
        self.serve(package={"body_file": path, "rate": 250_000})
        vxe2e.install_old_product("1.0")
        starter = self.start_starter()
        self.enter_code(GOOD_CODE)

        info = fields(self.progress_ui("info", CAPTION))
        rect, area = numbers(info["rect"]), numbers(info["workarea"])
        width, height = rect[2] - rect[0], rect[3] - rect[1]
        self.assertLessEqual(abs(rect[0] - (area[0] + (area[2] - area[0] - width) // 2)), 1, info)
        self.assertLessEqual(abs(rect[1] - (area[1] + (area[3] - area[1] - height) // 2)), 1, info)
        self.assertEqual(("1", "1"), (info["visible"], info["topmost"]), info)

        positions = []
        while (position := self.bar_position()) is not None:
            positions.append(position)
        # The window is gone: by then every file is in place and the archive deleted.
        self.assert_installed(files)

        self.assertEqual(sorted(positions), positions, "the bar never goes back")
        self.assertGreaterEqual(len({p for p in positions if 0 < p < 100}), 3, positions)
        self.assertEqual(100, positions[-1], "the bar stands at 100 while the package is unpacked")
        self.finish_run(starter)
        self.assertEqual("2.0", vxe2e.read_info()["version"])
        self.assertEqual(time.localtime(os.path.getmtime(os.path.join(vxe2e.working_folder(), "data", "lang",
                                                                      "en.txt")))[:6], (2024, 5, 17, 10, 20, 30))

    def test_user_who_closes_the_window_mid_download_loses_only_the_display(self):
        path, files = self.package(filler=1_500_000)
        self.serve(package={"body_file": path, "rate": 200_000})
        vxe2e.install_old_product("1.0")
        starter = self.start_starter()
        self.enter_code(GOOD_CODE)

        self.assertTrue(vxe2e.wait_until(lambda: (self.bar_position() or 0) > 0, 60))
        self.progress_ui("close", CAPTION)
        self.progress_ui("wait-gone", CAPTION, timeout=10)
        self.assertNotIn("-install", vxe2e.host_verbs(), "the body was still arriving")

        self.finish_run(starter)
        self.assert_installed(files)
        self.assertEqual("2.0", vxe2e.read_info()["version"])

    def test_download_failing_mid_body_leaves_the_window_until_the_program_exits(self):
        path, _ = self.package(filler=1_500_000)
        self.serve(package={"body_file": path, "rate": 200_000, "cut_after": 600_000})
        vxe2e.install_old_product("1.0")
        starter = self.start_starter()
        self.enter_code(GOOD_CODE)

        self.assertTrue(vxe2e.wait_until(lambda: (self.bar_position() or 0) > 0, 60))
        self.progress_ui("wait-gone", CAPTION, timeout=120)
        # Gone with the program: nothing but the program's end took it away.
        self.assertTrue(vxe2e.wait_until(lambda: not self.starter_running(), 10))
        self.finish_run(starter)
        self.assert_not_installed()
        self.assertTrue(os.path.exists(os.path.join(vxe2e.working_folder(), "2.0.zip")), "the partial archive")

    def test_missing_package_shows_no_window_and_the_next_run_downloads_again(self):
        self.serve()
        vxe2e.install_old_product("1.0")
        starter = self.start_starter()
        self.enter_code(GOOD_CODE)
        self.ui("wait-gone", CAPTION)  # the access-code dialog
        looks = 0
        while self.starter_running():
            self.assertNotIn(f'"{CAPTION}"', self.ui("list"), "a window appeared")
            looks += 1
        self.assertGreater(looks, 0)
        self.finish_run(starter)
        self.assert_not_installed()
        self.assertEqual([], [n for n in os.listdir(vxe2e.working_folder()) if n.endswith(".zip")])

        vxe2e.end_programs()
        self.servers.clear_log()
        path, files = self.package()
        self.serve(package={"body_file": path})
        self.finish_run_with_code()
        self.assert_requests([(80, "/server.html"), (443, f"{CHECK}?code={GOOD_CODE}"), (443, VERSION),
                              (443, PACKAGE.format("2.0"))])
        self.assert_installed(files)
        self.assertEqual("2.0", vxe2e.read_info()["version"])

    def finish_run_with_code(self):
        starter = self.start_starter()
        self.enter_code(GOOD_CODE)
        self.finish_run(starter)

    def test_refused_version_texts_ask_for_nothing(self):
        vxe2e.install_old_product("1.0")
        for version in ("NUL", "com1", "1*2", "a%20b"):
            path, _ = self.package()
            self.serve(version=version, package={"body_file": path})
            self.servers.clear_log()
            self.finish_run_with_code()
            vxe2e.end_programs()
            self.assert_requests([(80, "/server.html"), (443, f"{CHECK}?code={GOOD_CODE}"), (443, VERSION)])
            self.assert_not_installed()
            self.assertEqual([], [n for n in os.listdir(vxe2e.working_folder()) if n.lower().endswith(".zip")],
                             version)

    def test_damaged_package_keeps_the_version_deletes_the_archive_and_is_fetched_again(self):
        vxe2e.install_old_product("1.0")
        path, files = self.package()
        damaged = os.path.join(self.scratch, "damaged.zip")
        with open(path, "rb") as f:
            data = bytearray(f.read())
        data[len(data) // 3] ^= 0xFF  # inside some entry's data: its CRC-32 no longer matches
        with open(damaged, "wb") as f:
            f.write(data)
        self.serve(package={"body_file": damaged})
        self.finish_run_with_code()
        vxe2e.end_programs()
        self.assertEqual("1.0", vxe2e.read_info()["version"])
        self.assertEqual([], [n for n in os.listdir(vxe2e.working_folder()) if n.endswith(".zip")])

        self.servers.clear_log()
        self.serve(package={"body_file": path})
        self.finish_run_with_code()
        self.assertIn((443, PACKAGE.format("2.0")), self.request_paths())
        self.assert_installed(files)
        self.assertEqual("2.0", vxe2e.read_info()["version"])


if __name__ == "__main__":
    vxe2e.main()
