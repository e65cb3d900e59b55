"""What the starter accepts, as it decides it: which entry names may reach the file system and which
version texts it downloads. Names here are decoded text with "/" or "\\" as separators."""

SEPARATORS = "/\\"
# Windows opens a device for these, whatever the extension or letter case ("COM¹" included).
_DEVICE_DIGITS = "0123456789\u00b9\u00b2\u00b3"
DEVICE_NAMES = frozenset(["CON", "PRN", "AUX", "NUL"] + [p + d for p in ("COM", "LPT") for d in _DEVICE_DIGITS])
VERSION_MAX_LENGTH = 9
VERSION_FORBIDDEN = set('\\/:*?"<>|%#')


def _upper_ascii(text):
    return "".join(chr(ord(c) - 32) if "a" <= c <= "z" else c for c in text)


def is_reserved_device_name(component):
    """The platform matches the part before the first dot or colon, ignoring trailing blanks."""
    base = component
    for stop in ".:":
        base = base.split(stop, 1)[0]
    return _upper_ascii(base.rstrip(" ")) in DEVICE_NAMES


def is_parent_reference(component):
    """Dots and blanks only, such as ".." or "... ", which the platform's trimming may turn into a parent
    reference. A single dot (the folder itself) stays allowed."""
    return component != "" and component != "." and all(c in ". " for c in component)


def split_components(name):
    components = [name]
    for separator in SEPARATORS:
        components = [part for piece in components for part in piece.split(separator)]
    return components


def is_safe_entry_name(name):
    """True when name, joined to a folder, stays below it and names no device."""
    if name[:1] in tuple(SEPARATORS) or ":" in name:
        return False
    return not any(is_parent_reference(c) or is_reserved_device_name(c) for c in split_components(name))


# The starter stages a package in a folder of one of these names (the last of an earlier version's)
# and refuses every entry that would reach it.
STAGING_NAMES = frozenset(["~VXSTAGE", "~VXSTAG1", "~VXSTAG2", "~VXSTAG3", "~VXSTAGING"])


def is_staging_name(name):
    """The first component that is more than dots and blanks, trimmed as the platform trims, names a
    staging folder."""
    for component in split_components(name):
        trimmed = component.rstrip(". ")
        if trimmed:
            return _upper_ascii(trimmed) in STAGING_NAMES
    return False


def has_short_name_shape(name):
    """A component shaped as an 8.3 alias (NAME~DIGITS, an extension of up to three characters): on a
    customer's volume it may name another entry's file by its alias, which the starter refuses there."""
    for component in split_components(name):
        base, dot, extension = component.partition(".")
        stem, tilde, digits = base.rpartition("~")
        if tilde and stem and digits.isdigit() and digits.isascii() and len(base) <= 8 and len(extension) <= 3 \
                and "." not in extension:
            return True
    return False


def version_problem(version):
    """Why the starter would refuse to download this version text, or None."""
    if version == "":
        return 'is empty (the starter would ask for ".zip")'
    if len(version) > VERSION_MAX_LENGTH:
        return f"is longer than {VERSION_MAX_LENGTH} characters"
    for c in version:
        if not "\x21" <= c <= "\x7e":
            return f"holds {c!r}: only the characters 0x21 to 0x7E are allowed (no blanks, line ends or non-ASCII)"
        if c in VERSION_FORBIDDEN:
            return f"holds {c!r}, one of \\ / : * ? \" < > | % #"
    if is_reserved_device_name(version + ".zip"):
        return f'names a device as "{version}.zip"'
    return None
