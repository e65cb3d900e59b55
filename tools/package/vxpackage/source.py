"""The files of a source folder as package entries, and every reason the starter would refuse them
or could not install them."""
import os
import stat

from . import rules

# The longer of the two working folders, as the starter's unpacker sees it on a customer's machine.
WORKING_FOLDER = "C:\\Users\\Public\\Documents\\Vantorix\\Customer_Backup\\"
PATH_LIMIT = 259  # characters (UTF-16 units) of a full path, without the terminator
FOLDER_PATH_LIMIT = 247  # a folder must leave room for an 8.3 name below it (CreateDirectory)
STORED_NAME_LIMIT = 260  # bytes of a stored name, the unpacker's name buffer
MAX_ENTRIES = 65535
MAX_FILE_SIZE = 0xFFFFFFFF  # sizes from 4 GB on do not fit; 0xFFFFFFFF itself marks a ZIP64 size
WINDOWS_FORBIDDEN = set('<>"|?*') | {chr(c) for c in range(32)}
HOST_PROGRAM = "vxagent.exe"


class Entry:
    def __init__(self, name, path, size, mtime, mtime_ns):
        self.name = name  # relative, "/"-separated
        self.path = path
        self.size = size
        self.mtime = mtime
        self.mtime_ns = mtime_ns  # with the size, tells a file rewritten after the scan


def _utf16_length(text):
    return len(text.encode("utf-16-le")) // 2


def _windows_upper(text):
    # The file system folds case one character at a time ("ß" stays "ß").
    return "".join(c.upper() if len(c.upper()) == 1 else c for c in text)


def name_problems(name):
    """Why the starter would refuse this entry name or could not create it under that name."""
    try:
        stored = name.encode("utf-8")
    except UnicodeEncodeError:
        return ["is not valid UTF-8: the source folder holds bytes that name no characters"]
    problems = []
    if "\\" in name:
        problems.append("holds a backslash, which the starter reads as a folder separator")
    if not rules.is_safe_entry_name(name):
        problems.append("is refused by the starter: a parent component, a leading separator, a drive letter or "
                        "stream (a colon) or a device name (CON, PRN, AUX, NUL, COM0-9, LPT0-9, COM\u00b9-\u00b3, "
                        "LPT\u00b9-\u00b3)")
    if rules.is_staging_name(name):
        problems.append("names the starter's staging folder (~vxstage, ~vxstag1-3, ~vxstaging), which it refuses")
    if rules.has_short_name_shape(name):
        problems.append("has a component shaped as a short (8.3) name, NAME~DIGITS, which can name another "
                        "file on a customer's volume")
    bad = sorted({c for c in name if c in WINDOWS_FORBIDDEN})
    if bad:
        problems.append("holds " + " ".join(repr(c) for c in bad) + ", which Windows refuses in file names")
    components = name.split("/")
    if any(c.endswith((".", " ")) for c in components if not rules.is_parent_reference(c) and c != "."):
        problems.append("has a component ending in a dot or a blank, which Windows drops")
    if len(stored) > STORED_NAME_LIMIT:
        problems.append(f"is {len(stored)} bytes long as stored in UTF-8; the starter reads at most "
                        f"{STORED_NAME_LIMIT}")
    windows_name = name.replace("/", "\\")
    full = _utf16_length(WORKING_FOLDER) + _utf16_length(windows_name)
    if full > PATH_LIMIT:
        problems.append(f"makes a path of {full} characters below {WORKING_FOLDER}; at most {PATH_LIMIT} fit")
    elif len(components) > 1:
        folder = _utf16_length(WORKING_FOLDER) + _utf16_length("\\".join(components[:-1]))
        if folder > FOLDER_PATH_LIMIT:
            problems.append(f"needs a folder path of {folder} characters below {WORKING_FOLDER}; Windows creates "
                            f"folders of at most {FOLDER_PATH_LIMIT}")
    return problems


def scan(source_dir):
    """(entries in archive order, problems as "name: why" lines, warnings)."""
    entries, problems, warnings = [], [], []
    def unreadable(error):
        problems.append(f"{error.filename}: {error.strerror}")

    for folder, subfolders, files in os.walk(source_dir, onerror=unreadable):
        subfolders.sort()
        relative = os.path.relpath(folder, source_dir)
        prefix = "" if relative == "." else relative.replace(os.sep, "/") + "/"
        if not files and not subfolders and prefix:
            warnings.append(f"{prefix}: an empty folder is not packaged (the starter creates folders only for files)")
        for name in sorted(subfolders + files):
            path = os.path.join(folder, name)
            entry_name = prefix + name
            info = os.lstat(path)
            if stat.S_ISLNK(info.st_mode):
                problems.append(f"{entry_name}: is a symbolic link; a package holds files only")
                continue  # os.walk does not enter a linked folder
            if name in subfolders:
                continue
            if not stat.S_ISREG(info.st_mode):
                problems.append(f"{entry_name}: is not a regular file")
                continue
            problems.extend(f"{entry_name}: {why}" for why in name_problems(entry_name))
            if info.st_size >= MAX_FILE_SIZE:
                problems.append(f"{entry_name}: is {info.st_size} bytes; the starter unpacks files below 4 GB")
            if not os.access(path, os.R_OK):
                problems.append(f"{entry_name}: cannot be read")
            entries.append(Entry(entry_name, path, info.st_size, info.st_mtime, info.st_mtime_ns))
    entries.sort(key=lambda e: [c.encode("utf-8", "surrogateescape") for c in e.name.split("/")])
    problems.extend(_collisions(entries))
    if not entries:
        problems.append(f"{source_dir}: holds no files; the starter refuses an empty package")
    if len(entries) > MAX_ENTRIES:
        problems.append(f"{source_dir}: holds {len(entries)} files; a package holds at most {MAX_ENTRIES}")
    if not any(e.name.lower() == HOST_PROGRAM for e in entries):
        warnings.append(f"{HOST_PROGRAM} is not at the root of {source_dir}: the starter would start no host program")
    return entries, problems, warnings


def _collisions(entries):
    """Names that Windows, ignoring case, would write to the same file or folder."""
    seen = {}
    problems = []
    for entry in entries:
        parts = entry.name.split("/")
        for depth in range(1, len(parts) + 1):
            key = _windows_upper("/".join(parts[:depth]))
            mine = "/".join(parts[:depth])
            other = seen.setdefault(key, mine)
            if other != mine:
                problems.append(f"{entry.name}: {mine} and {other} are the same name on Windows, which ignores case")
                break
    return problems
