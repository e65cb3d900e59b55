"""What the access-code dialog's end-to-end tests share: the dialog's identifiers and texts, the
locales, and a test case that opens the dialog in a real run of vxstarter.exe and drives it with
the UI driver (tools/uidriver)."""

import vxe2e

IDC_STATIC = -1
IDC_CODE = 1000
IDC_CONNECT = 1001
IDC_MESSAGE = 1004
CHECK_PATH = "/admin/system/check_code.php"

ENGLISH = vxe2e.ENGLISH
JAPANESE = vxe2e.JAPANESE


class DialogTestCase(vxe2e.StarterTestCase):
    caption = "Vantorix Starter"
    locale = ENGLISH

    def open_dialog(self, answer="FALSE"):
        """Starts the starter with the server answering every access-code check with `answer`, and
        waits until the dialog is up. Works whether the run shows it itself or relaunches first."""
        self.servers.set({"routes": {f"443 {CHECK_PATH}": {"body": answer}}})
        self.starter = self.start_starter(env=vxe2e.wine_env(**self.locale))
        self.ui("wait", self.caption)

    def info(self):
        return dict(line.split("=", 1) for line in self.ui("info", self.caption).splitlines())

    def text(self, control_id):
        return self.ui("text", self.caption, control_id)

    def checked_codes(self):
        """The codes the server was asked about, in order; every check went to the primary server."""
        codes = []
        for port, path in self.request_paths():
            if path.split("?", 1)[0] == CHECK_PATH:
                self.assertEqual(port, 443)
                prefix = CHECK_PATH + "?code="
                self.assertTrue(path.startswith(prefix), path)
                codes.append(int(path[len(prefix):]))
        return codes

    def assert_run_ends(self, timeout=60):
        """Waits until no process of the starter is left in this test bed's prefix (the first one and
        an elevated relaunch). Wine's own session processes do not count: when two programs bring up
        the session's desktop at the same moment, a second desktop process can stay behind."""
        if not self.starter.wait_for_end(timeout):
            self.fail(f"the run did not end: {vxe2e.starter_processes()}")

    def assert_waiting_after_rejection(self, typed, invalid_text):
        self.assertEqual(self.text(IDC_MESSAGE), invalid_text)
        self.assertEqual(self.text(IDC_CODE), typed)
        self.assertEqual(self.info()["visible"], "1")

    def assert_run_ends_cancelled(self, codes):
        """The dialog is gone and the run ends with no check after `codes` and no access code recorded,
        having gone straight on to removing itself."""
        self.ui("wait-gone", self.caption)
        self.assert_run_ends()
        self.assertTrue(vxe2e.wait_until(self.starter.gone, 30), "the program removes itself at the end of the run")
        self.assertEqual(self.checked_codes(), codes)
        self.assertNotIn("code_str", vxe2e.read_info())
        self.assertNotIn("restarted", vxe2e.read_info())

    def assert_full_width_digits_give_the_code(self, invalid_text):
        """Six digits, full-width (as a Japanese input method types them) or mixed with ASCII ones,
        arriving by every route, are the code 123456; typed, committed or pasted, the field shows
        them as ASCII digits. (Text set as a whole is shown as the ANSI code page holds it.)"""
        self.open_dialog()
        expected = []
        for route in ("type", "ime", "paste", "settext"):
            for digits in ("１２３４５６", "１２3４５6"):
                with self.subTest(route=route, digits=digits):
                    self.ui("settext", self.caption, "")
                    self.ui(route, self.caption, digits)
                    shown = self.text(IDC_CODE)
                    if route != "settext":
                        self.assertEqual(shown, "123456")
                    self.ui("key", self.caption, "enter")
                    expected.append(123456)
                    self.assertEqual(self.checked_codes(), expected)
                    self.assert_waiting_after_rejection(shown, invalid_text)

