"""The shipped i686 starter, and its build for a kernel32 without SetDefaultDllDirectories, import
the ordinary way only DLLs that Windows loads from the system directory: a DLL so imported is
looked for beside the program before WinMain can restrict the search. Read from the PE files, so it
runs natively on every machine, whichever tree it tests."""
import os
import sys
import unittest

from pe_imports import KNOWN_DLLS, static_imports

I686_TREE = sys.argv[1] if len(sys.argv) > 1 else ""


class ImportsTest(unittest.TestCase):
    def test_starter_imports_only_known_dlls_the_ordinary_way(self):
        for program in ("vxstarter.exe", os.path.join("tests", "dllplant", "vxstarter_fallback.exe")):
            path = os.path.join(I686_TREE, program)
            with self.subTest(program=program):
                self.assertTrue(os.path.isfile(path), f"{path} is missing: cmake --build --preset test "
                                                      "--target vxstarter vxstarter_fallback")
                imports = static_imports(path, "i686")
                self.assertEqual([], [name for name in imports if name not in KNOWN_DLLS], imports)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
