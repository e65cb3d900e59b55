"""The whole update as a customer sees it, against the bundled local update server: the access-code
dialog, the progress window, the host program started, the program gone. Run by scripts/demo inside
the test bed (vxrun --python). Headless, the code is typed for you and every window is saved as a PNG
screenshot, in English and in Japanese."""
import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.environ["VX_SOURCE_DIR"], "tests", "e2e"))
import vxe2e  # noqa: E402
from png import bmp_to_png  # noqa: E402

CODE = 123456
JAPANESE_CAPTION = "Vantorix"


class Demo(vxe2e.StarterTestCase):
    def __init__(self, screens, interactive):
        super().__init__()
        self.screens = screens
        self.interactive = interactive
        self.step_number = 0

    def runTest(self):  # unittest wants one; the demo calls its steps itself
        pass

    def step(self, text):
        self.step_number += 1
        print(f"{self.step_number:2}. {text}", flush=True)

    def screenshot(self, name, caption):
        if not self.screens:
            return
        bmp = os.path.join(self.screens, name + ".bmp")
        self.ui("screenshot", vxe2e.windows_path(bmp), caption)
        bmp_to_png(bmp, os.path.join(self.screens, name + ".png"))
        os.remove(bmp)
        print(f"      screenshot: {os.path.join(self.screens, name + '.png')}")

    def serve(self, version, package):
        self.servers.set({"routes": {
            "80 /server.html": {"body": "1"},
            "443 /admin/system/check_code.php": {"body": "FALSE"},
            f"443 /admin/system/check_code.php?code={CODE}": {"body": "OK"},
            "443 /download/app/customer/version.php": {"body": version},
            f"443 /download/app/customer/{version}.zip": {"body_file": package, "rate": 600000},
        }})

    def update(self, language, caption, version, env=None):
        package = os.path.join(vxe2e.RUN_DIR, f"{version}.zip")
        files = vxe2e.make_package(package, {"data/assets.bin": os.urandom(3 * 1024 * 1024)})
        self.serve(version, package)
        self.servers.clear_log()
        self.step(f"The update server announces version {version}: a package of {os.path.getsize(package)} bytes "
                  f"with {len(files)} files. Installed: {vxe2e.read_info().get('version', 'nothing')}.")

        starter = self.start_starter(env=env)
        self.step(f"Started {vxe2e.windows_path(starter.path)} ({language}).")
        self.ui("wait", caption)
        self.step("The access-code dialog is shown.")
        self.screenshot(f"dialog-{language}", caption)
        if self.interactive:
            print(f"      Type {CODE} and press Connect (or Enter).", flush=True)
        else:
            self.ui("type", caption, "111")
            self.ui("key", caption, "enter")
            vxe2e.wait_until(lambda: self.ui("text", caption, "1004") != "", 30)
            self.step(f"Typed the wrong code 111: the dialog says \"{self.ui('text', caption, '1004')}\".")
            self.screenshot(f"dialog-{language}-invalid", caption)
            self.ui("paste", caption, str(CODE))
            self.ui("key", caption, "enter")
            self.step(f"Typed {CODE} and pressed Enter.")

        self.ui("--timeout", "300", "--having", "1002", "wait", caption)
        self.step("The progress window shows the download.")
        vxe2e.wait_until(lambda: self.progress(caption) >= 30, 30, interval=0.05)
        self.screenshot(f"progress-{language}", caption)
        self.ui("--timeout", "120", "--having", "1002", "wait-gone", caption)
        self.step("The package was unpacked and the progress window closed.")

        vxe2e.wait_until(lambda: vxe2e.host_verbs()[-1:] == ["-start"], 60)
        self.step(f"The host program received: {' '.join(vxe2e.host_verbs()[-4:])}.")
        vxe2e.wait_until(starter.gone, 60)
        self.step(f"The starter removed itself: {vxe2e.windows_path(starter.path)} "
                  f"{'is gone' if starter.gone() else 'is still there'}.")
        for r in self.requests():
            print(f"      server saw: port {r['port']} GET {r['path']} ({r['version']}, {r['user_agent']})")
        info = vxe2e.read_info()
        print(f"      info.dat [server]: {', '.join(f'{k}={v}' for k, v in info.items())}")
        vxe2e.end_programs()

    def progress(self, caption):
        try:
            fields = dict(part.split("=") for part in self.ui("progress", caption, "1002").split())
            return int(fields.get("pos", 0))
        except (AssertionError, ValueError):
            return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--screens", help="folder for the PNG screenshots")
    parser.add_argument("--interactive", action="store_true", help="let the user type the code")
    args = parser.parse_args()
    if args.screens:
        os.makedirs(args.screens, exist_ok=True)
    demo = Demo(args.screens, args.interactive)
    demo.setUp()
    vxe2e.install_old_product("1.0")
    print("The product is installed at version 1.0 in", vxe2e.windows_path(vxe2e.working_folder()))
    demo.update("en", vxe2e.ENGLISH_CAPTION, "2.0")
    japanese = vxe2e.wine_env(LANG="ja_JP.UTF-8", LC_ALL="ja_JP.UTF-8")
    demo.update("ja", JAPANESE_CAPTION, "2.1", env=japanese)
    demo.tearDown()
    print("Done.")


if __name__ == "__main__":
    main()
