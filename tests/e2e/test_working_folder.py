"""The working folder: the run never works outside it. A file standing where the folder should be,
or a shared documents path too long for the path buffers, ends the run before anything is stopped,
downloaded or written."""
import os

import vxe2e

SHELL_FOLDERS = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders"


class WorkingFolderTest(vxe2e.StarterTestCase):
    def set_shared_documents(self, windows_path, kind="REG_SZ"):
        vxe2e.wine("reg", "add", SHELL_FOLDERS, "/v", "Common Documents", "/t", kind, "/d", windows_path, "/f",
                   check=True)

    def tearDown(self):
        self.set_shared_documents(r"%PUBLIC%\Documents", "REG_EXPAND_SZ")
        super().tearDown()

    def serve_a_whole_update(self):
        self.servers.set({"routes": {
            "80 /server.html": {"body": "1"},
            "443 /admin/system/check_code.php": {"body": "OK"},
            "443 /download/app/customer/version.php": {"body": "2.0"},
        }})

    def run_to_the_end(self):
        starter = self.start_starter()
        self.assertTrue(starter.wait_for_end(), "the run did not end by itself")
        return starter

    def test_file_in_place_of_the_working_folder_ends_the_run(self):
        self.serve_a_whole_update()
        os.makedirs(vxe2e.product_folder())
        blocker = vxe2e.working_folder()
        with open(blocker, "w") as f:
            f.write("not a folder")

        self.run_to_the_end()

        self.assertEqual([(80, "/server.html")], self.request_paths())
        with open(blocker) as f:
            self.assertEqual("not a folder", f.read())
        self.assertEqual(["Customer"], os.listdir(vxe2e.product_folder()))

    def long_shared_documents(self, length):
        """A shared documents folder whose Windows path has exactly this many characters."""
        base = vxe2e.drive_c("users", "Public")
        name = "d" * (length - len("C:\\users\\Public\\"))
        os.makedirs(os.path.join(base, name), exist_ok=True)
        self.set_shared_documents("C:\\users\\Public\\" + name)
        return os.path.join(base, name)

    def test_product_folder_too_long_ends_the_run_before_the_probe(self):
        self.serve_a_whole_update()
        documents = self.long_shared_documents(251)  # + "\\Vantorix" is 260: no room for the terminator

        self.run_to_the_end()

        self.assertEqual([], self.request_paths())
        self.assertEqual([], os.listdir(documents))
        self.assertFalse(os.path.exists(vxe2e.drive_c("Vantorix")))

    def test_working_folder_too_long_ends_the_run_after_the_probe(self):
        self.serve_a_whole_update()
        documents = self.long_shared_documents(245)  # product folder 254, working folder 263

        self.run_to_the_end()

        self.assertEqual([(80, "/server.html")], self.request_paths())
        self.assertEqual(["Vantorix"], os.listdir(documents))
        self.assertEqual([], os.listdir(os.path.join(documents, "Vantorix")))


if __name__ == "__main__":
    vxe2e.main()
