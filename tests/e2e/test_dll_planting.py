"""No DLL is loaded from beside the program. A DLL of our own (tests/dllplant/plant.cpp), which
leaves a marker file beside itself once a process loads it, lies beside the starter under the name
of each DLL the starter loads that Windows does not protect through its KnownDLLs list, and Wine is
told to prefer such a DLL to its own, as Windows does for any DLL it finds first. A whole run
(dialog, download, unpack) must then complete without loading one; a starter built without the
protection loads them at once, which shows that the test can see it."""
import os
import shutil
import sys

import vxe2e

# The import check of the shipped starter itself reads its PE file natively (tests/release).
sys.path.insert(0, os.path.join(vxe2e.SOURCE_DIR, "tests", "release"))
from pe_imports import KNOWN_DLLS, static_imports  # noqa: E402

# The DLLs the starter loads that not every supported Windows protects (src/app/dll_search.cpp).
UNPROTECTED_DLLS = ["wininet.dll", "comctl32.dll", "bcrypt.dll"]
FIXTURE_DIR = os.path.join(vxe2e.BUILD_DIR, "tests", "dllplant")
PLANT = os.path.join(FIXTURE_DIR, "vxplant.dll")
FALLBACK = os.path.join(FIXTURE_DIR, "vxstarter_fallback.exe")
UNHARDENED = os.path.join(FIXTURE_DIR, "vxstarter_unhardened.exe")

GOOD_CODE = 123456
PACKAGE = "/download/app/customer/2.0.zip"


class DllPlantingTest(vxe2e.PackageTestCase):
    def planted_starter(self, program):
        """A copy of this starter build as vxstarter.exe, with our DLL beside it under each name."""
        starter = self.new_starter()
        shutil.copy2(program, starter.path)
        for name in UNPROTECTED_DLLS:
            shutil.copy2(PLANT, os.path.join(starter.folder, name))
        return starter

    def prefer_planted_dlls(self):
        overrides = os.environ.get("WINEDLLOVERRIDES", "")
        planted = ",".join(os.path.splitext(name)[0] for name in UNPROTECTED_DLLS) + "=n,b"
        return vxe2e.wine_env(WINEDLLOVERRIDES=f"{overrides};{planted}" if overrides else planted)

    @staticmethod
    def markers(starter):
        return sorted(name for name in os.listdir(starter.folder) if name.endswith(".loaded"))

    def serve_new_version(self):
        self.servers.set({"routes": {
            "80 /server.html": {"body": "1"},
            f"443 /admin/system/check_code.php?code={GOOD_CODE}": {"body": "OK"},
            "443 /download/app/customer/version.php": {"body": "2.0"},
            f"443 {PACKAGE}": {"body_file": self.package_path},
        }})

    def run_whole_update(self, program):
        """A whole run with the planted DLLs preferred: the code entered, the package downloaded
        and unpacked, the host program started and the program file removed. No planted DLL may
        have been loaded, and one that was is named when any step fails."""
        self.serve_new_version()
        vxe2e.install_old_product("1.0")
        starter = self.planted_starter(program).start(env=self.prefer_planted_dlls())
        try:
            self.enter_code(GOOD_CODE)
            self.assertTrue(vxe2e.wait_until(lambda: vxe2e.host_verbs()[-1:] == ["-start"], 90),
                            f"the host program was not started: {vxe2e.host_verbs()}")
            self.assertTrue(vxe2e.wait_until(starter.gone, 60), "the program file was not removed")
        except AssertionError as error:
            raise AssertionError(f"{error}; planted DLLs loaded: {self.markers(starter)}") from error

        self.assertEqual([], self.markers(starter))
        self.assertIn((443, PACKAGE), self.request_paths())
        folder = vxe2e.working_folder()
        for name, data in self.package_files.items():
            with open(os.path.join(folder, *name.split("/")), "rb") as f:
                self.assertEqual(data, f.read(), name)
        self.assertEqual("2.0", vxe2e.read_info()["version"])

    def test_whole_run_loads_no_planted_dll(self):
        self.run_whole_update(vxe2e.STARTER)

    def test_whole_run_without_default_dll_directories_loads_no_planted_dll(self):
        # Windows Vista and Windows 7 without KB2533623: the unprotected DLLs are loaded from the
        # system directory by full path at once, and their delay-loads take those.
        self.run_whole_update(FALLBACK)

    def test_starter_without_the_protection_loads_the_planted_dlls(self):
        if not os.path.exists(UNHARDENED):
            self.skipTest("tests/dllplant/vxstarter_unhardened.exe not built (VX_TEST_UNHARDENED_FIXTURE=OFF)")
        self.assertEqual(sorted(UNPROTECTED_DLLS), sorted(set(static_imports(UNHARDENED, vxe2e.WINE.arch)) - KNOWN_DLLS))
        self.serve_new_version()
        starter = self.planted_starter(UNHARDENED).start(env=self.prefer_planted_dlls())
        # The planted DLLs offer none of the real ones' functions, so the run itself may fail.
        expected = [name + ".loaded" for name in sorted(UNPROTECTED_DLLS)]

        def loaders():
            """For each marker, the program files of the processes that loaded the planted DLL."""
            found = {}
            for marker in self.markers(starter):
                with open(os.path.join(starter.folder, marker), encoding="latin-1") as f:
                    found[marker.lower()] = [line.lower() for line in f.read().splitlines()]
            return found

        self.assertTrue(vxe2e.wait_until(lambda: sorted(k for k, v in loaders().items() if v) == expected, 60),
                        loaders())
        for marker, programs in loaders().items():
            self.assertTrue(programs[0].endswith("\\vxstarter.exe"), (marker, programs))


if __name__ == "__main__":
    vxe2e.main()
