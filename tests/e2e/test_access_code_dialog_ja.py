"""The access-code dialog with a Japanese user locale: the platform picks the Japanese resources, with
no language logic of the program's own."""
import vxe2e
from access_code_ui import IDC_CODE, IDC_CONNECT, IDC_MESSAGE, IDC_STATIC, JAPANESE, DialogTestCase

INVALID = "正しくない認証コードです。"


class JapaneseAccessCodeDialogTest(DialogTestCase):
    caption = "Vantorix"
    locale = JAPANESE

    def test_shows_the_japanese_texts_and_invalid_code_message(self):
        self.open_dialog()
        self.assertNotIn('"Vantorix Starter"', self.ui("list"), "the English dialog is not shown")
        self.assertEqual(self.text(0), "Vantorix")
        self.assertEqual(self.text(IDC_STATIC), "認証コード :")
        self.assertEqual(self.text(IDC_CONNECT), "接\u3000続")
        self.assertEqual(self.text(IDC_MESSAGE), "認証コードを入力後「接続」をクリックしてください。")
        info = self.info()
        self.assertEqual((info["visible"], info["topmost"], info["foreground"]), ("1", "1", "1"))
        self.assertEqual(info["focus"], str(IDC_CODE))

        self.ui("type", self.caption, "31x4")
        self.ui("key", self.caption, "enter")
        self.assertEqual(self.checked_codes(), [314])
        self.assert_waiting_after_rejection("314", INVALID)
        self.ui("key", self.caption, "escape")
        self.assert_run_ends_cancelled([314])

    def test_full_width_digits_from_a_japanese_input_method_are_the_code(self):
        self.assert_full_width_digits_give_the_code(INVALID)

    def test_a_lead_byte_left_pending_is_dropped_on_focus_loss_input_method_and_paste(self):
        """é on a Western layout is the byte 0xE9, a lead byte in code page 932; after these no byte completes it."""
        self.open_dialog()
        for steps, shown in [(["key tab", "key tab", "type １"], "1"), (["ime １", "type ２"], "12"),
                             (["paste 3", "type ４"], "34")]:
            with self.subTest(steps=steps):
                for step in ["settext ", "layout 0409", "type é", "layout 0411", *steps]:
                    self.ui(step.split(" ", 1)[0], self.caption, step.split(" ", 1)[1])
                self.assertEqual(self.text(IDC_CODE), shown)


if __name__ == "__main__":
    vxe2e.main()
