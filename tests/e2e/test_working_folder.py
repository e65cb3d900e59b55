"""The working folder: the run never works outside it. A file standing where the folder should be,
a shared documents path too long for the path buffers, or a link in the shared documents folder ends
the run before anything is stopped, downloaded or written."""
import os
import shutil

import vxe2e


def tree_with_bytes(folder):
    """{relative path: bytes} of every file below folder, and {relative path/: None} of every folder."""
    tree = {}
    for root, folders, files in os.walk(folder):
        for name in folders:
            tree[os.path.relpath(os.path.join(root, name), folder) + "/"] = None
        for name in files:
            with open(os.path.join(root, name), "rb") as f:
                tree[os.path.relpath(os.path.join(root, name), folder)] = f.read()
    return tree


SHELL_FOLDERS = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders"


class WorkingFolderTest(vxe2e.PackageTestCase):
    def set_shared_documents(self, windows_path, kind="REG_SZ"):
        vxe2e.wine("reg", "add", SHELL_FOLDERS, "/v", "Common Documents", "/t", kind, "/d", windows_path, "/f",
                   check=True)

    def tearDown(self):
        self.set_shared_documents(r"%PUBLIC%\Documents", "REG_EXPAND_SZ")
        super().tearDown()

    def serve_a_whole_update(self, probe="1", port=443):
        self.servers.set({"routes": {
            "80 /server.html": {"body": probe},
            f"{port} /admin/system/check_code.php": {"body": "OK"},
            f"{port} /download/app/customer/version.php": {"body": "2.0"},
            f"{port} /download/app/customer/2.0.zip": {"body_file": self.package_path},
        }})

    def run_to_the_end(self):
        """Runs the starter to its end; should the access-code dialog come up, the customer enters
        a code, so that a run that goes on where it must not shows what it would do there."""
        starter = self.start_starter()

        def ended():
            return starter.process.poll() is not None and not vxe2e.starter_processes()

        if vxe2e.wait_until(lambda: ended() or vxe2e.ENGLISH_CAPTION in self.ui("list"), 60) and not ended():
            self.enter_code(123456)
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

    def test_a_link_in_the_shared_folder_ends_the_run_and_nothing_changes_where_it_points(self):
        elsewhere = vxe2e.drive_c("elsewhere")

        def move_away_and_link(folder):
            os.makedirs(elsewhere, exist_ok=True)
            target = os.path.join(elsewhere, os.path.basename(folder))
            os.rename(folder, target)
            os.symlink(target, folder)

        def second_name_of_info_dat():
            os.makedirs(elsewhere)
            os.link(os.path.join(vxe2e.working_folder(), "info.dat"), os.path.join(elsewhere, "other.dat"))

        probe_only = [(80, "/server.html")]
        # what is made a link, the server the probe chooses, what the run asks before it ends
        cases = [
            ("product folder", False, lambda: move_away_and_link(vxe2e.product_folder()), []),
            ("working folder", False, lambda: move_away_and_link(vxe2e.working_folder()), probe_only),
            ("backup working folder", True, lambda: move_away_and_link(vxe2e.working_folder(True)), probe_only),
            ("info.dat with a second name", False, second_name_of_info_dat, probe_only),
        ]
        for what, backup, make_link, expected_requests in cases:
            with self.subTest(what):
                try:
                    self.serve_a_whole_update(*(("2", 8080) if backup else ()))
                    self.servers.clear_log()
                    vxe2e.install_old_product("1.0", backup)
                    with open(os.path.join(vxe2e.working_folder(backup), "2.0.zip"), "wb") as f:
                        f.write(b"left by an earlier run")
                    make_link()
                    before = tree_with_bytes(elsewhere)

                    starter = self.run_to_the_end()

                    self.assertEqual(before, tree_with_bytes(elsewhere), "written, deleted or started there")
                    self.assertEqual(expected_requests, self.request_paths())
                    self.assertTrue(vxe2e.wait_until(starter.gone, 60), "the program file was not removed")
                finally:
                    vxe2e.end_programs()
                    if os.path.islink(vxe2e.product_folder()):
                        os.unlink(vxe2e.product_folder())
                    shutil.rmtree(vxe2e.product_folder(), ignore_errors=True)
                    shutil.rmtree(elsewhere, ignore_errors=True)

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
