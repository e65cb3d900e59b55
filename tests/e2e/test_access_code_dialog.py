"""The access-code dialog in a real run of vxstarter.exe under Wine, driven as a user would drive it:
placement and focus, what the code field takes, which code each Connect asks the server about, the
invalid-code message, and every way to end it."""
import vxe2e
from access_code_ui import IDC_CODE, IDC_CONNECT, IDC_MESSAGE, IDC_STATIC, DialogTestCase

INSTRUCTION = "Please enter access code and press connect."
INVALID = "Invalid access code"


class AccessCodeDialogTest(DialogTestCase):
    def test_opens_centred_on_the_work_area_topmost_in_front_with_focus_in_the_code_field(self):
        self.open_dialog()
        info = self.info()
        self.assertEqual((info["visible"], info["topmost"], info["foreground"]), ("1", "1", "1"))
        self.assertEqual(info["focus"], str(IDC_CODE))
        left, top, right, bottom = map(int, info["rect"].split(","))
        area_left, area_top, area_right, area_bottom = map(int, info["workarea"].split(","))
        # Integer halves: an odd pixel of the difference falls to the right and to the bottom.
        self.assertEqual(left - area_left, (area_right - area_left - (right - left)) // 2)
        self.assertEqual(top - area_top, (area_bottom - area_top - (bottom - top)) // 2)

        self.assertEqual(self.text(0), "Vantorix Starter")
        # A DLGTEMPLATE stores control identifiers in 16 bits: the label's -1 reads as 0xFFFF.
        self.assertEqual(self.text(IDC_STATIC & 0xFFFF), "Access Code :")
        self.assertEqual(self.text(IDC_CODE), "")
        self.assertEqual(self.text(IDC_CONNECT), "Connect")
        self.assertEqual(self.text(IDC_MESSAGE), INSTRUCTION)
        self.assertEqual(self.checked_codes(), [])

    def test_typing_takes_digits_only_and_at_most_six(self):
        self.open_dialog()
        self.ui("type", self.caption, "4a-2 b.9x")
        self.assertEqual(self.text(IDC_CODE), "429")
        self.ui("type", self.caption, "1234567")
        self.assertEqual(self.text(IDC_CODE), "429123")
        self.assertEqual(self.checked_codes(), [], "typing alone asks nothing")

    def test_enter_in_the_code_field_checks_once_and_a_rejection_keeps_the_text(self):
        self.open_dialog()
        self.ui("type", self.caption, "314159")
        self.ui("key", self.caption, "enter")
        self.assertEqual(self.checked_codes(), [314159])
        self.assert_waiting_after_rejection("314159", INVALID)
        self.assertEqual(self.info()["focus"], str(IDC_CODE))
        # Each further press asks again: no limit, no delay.
        self.ui("key", self.caption, "enter")
        self.ui("key", self.caption, "enter")
        self.assertEqual(self.checked_codes(), [314159] * 3)
        self.assert_waiting_after_rejection("314159", INVALID)

    def test_a_click_on_connect_checks_once_and_so_does_enter_on_the_button_in_focus(self):
        self.open_dialog()
        self.ui("type", self.caption, "55")
        self.ui("click", self.caption, IDC_CONNECT)
        self.assertEqual(self.checked_codes(), [55])
        self.assert_waiting_after_rejection("55", INVALID)
        # The tab order is the code field, then Connect.
        self.ui("key", self.caption, "tab")
        self.assertEqual(self.info()["focus"], str(IDC_CODE))
        self.ui("key", self.caption, "tab")
        self.assertEqual(self.info()["focus"], str(IDC_CONNECT))
        self.ui("key", self.caption, "enter")
        self.assertEqual(self.checked_codes(), [55, 55])
        self.ui("key", self.caption, "tab")
        self.ui("key", self.caption, "enter")
        self.assertEqual(self.checked_codes(), [55, 55, 55])

    def test_pasted_text_is_held_to_six_characters_and_checked_as_its_leading_signed_number(self):
        self.open_dialog()
        self.ui("key", self.caption, "enter")
        self.assertEqual(self.checked_codes(), [0], "an empty field asks about the code 0")
        cases = [
            ("12ab", "12ab", 12),
            ("abc", "abc", 0),
            ("-5", "-5", -5),
            ("000123", "000123", 123),
            ("98765432", "987654", 987654),
            (" +8x", " +8x", 8),
            ("--3", "--3", 0),
        ]
        expected = [0]
        for pasted, shown, code in cases:
            with self.subTest(pasted=pasted):
                self.ui("paste", self.caption, pasted)
                self.assertEqual(self.text(IDC_CODE), shown)
                self.ui("key", self.caption, "enter")
                expected.append(code)
                self.assertEqual(self.checked_codes(), expected)
                self.assert_waiting_after_rejection(shown, INVALID)

    def test_full_width_digits_are_the_code(self):
        self.assert_full_width_digits_give_the_code(INVALID)

    def test_escape_ends_it_and_the_run_without_a_check(self):
        self.open_dialog()
        self.ui("type", self.caption, "12")
        self.ui("key", self.caption, "escape")
        self.assert_run_ends_cancelled([])

    def test_the_close_button_ends_it_after_a_rejection(self):
        self.open_dialog()
        self.ui("type", self.caption, "77")
        self.ui("key", self.caption, "enter")
        self.assert_waiting_after_rejection("77", INVALID)
        self.ui("close", self.caption)
        self.assert_run_ends_cancelled([77])

    def test_alt_f4_ends_it_after_a_rejection(self):
        self.open_dialog()
        self.ui("type", self.caption, "88")
        self.ui("key", self.caption, "enter")
        self.assert_waiting_after_rejection("88", INVALID)
        self.ui("alt-f4", self.caption)
        self.assert_run_ends_cancelled([88])

    def test_escape_ends_it_after_a_rejection(self):
        self.open_dialog()
        self.ui("paste", self.caption, "x")
        self.ui("click", self.caption, IDC_CONNECT)
        self.assert_waiting_after_rejection("x", INVALID)
        self.ui("key", self.caption, "escape")
        self.assert_run_ends_cancelled([0])

    def test_an_accepted_code_ends_it_and_the_update_goes_on_with_that_code(self):
        self.open_dialog(answer="TRUE")
        self.ui("paste", self.caption, "000123")
        self.ui("key", self.caption, "enter")
        self.ui("wait-gone", self.caption)
        self.assert_run_ends(120)
        self.assertEqual(self.checked_codes(), [123])
        info = vxe2e.read_info()
        self.assertEqual(info.get("code_str"), "123")
        self.assertEqual(info.get("restarted"), "1")
        paths = [path for _, path in self.request_paths()]
        check = paths.index("/admin/system/check_code.php?code=123")
        self.assertIn("/download/app/customer/version.php", paths[check + 1:], "the version query follows")


if __name__ == "__main__":
    vxe2e.main()
