"""The DLLs a Windows program imports the ordinary way, read from its PE file; and the DLLs it may
import so, because every Windows from 7 on loads them from the system directory (KnownDLLs), with
the DLLs they import, whatever lies beside the program."""
import struct

KNOWN_DLLS = {"advapi32.dll", "comdlg32.dll", "gdi32.dll", "imagehlp.dll", "imm32.dll", "kernel32.dll",
              "msctf.dll", "msvcrt.dll", "normaliz.dll", "nsi.dll", "ole32.dll", "oleaut32.dll", "psapi.dll",
              "rpcrt4.dll", "sechost.dll", "setupapi.dll", "shell32.dll", "shlwapi.dll", "user32.dll",
              "wldap32.dll", "ws2_32.dll"}
# The optional header's magic: what each build's programs must be.
PE_MAGIC = {"i686": 0x10B, "x86_64": 0x20B}  # PE32, PE32+


def static_imports(path, arch):
    """The DLL names in the import directory of an arch build's PE file, in lower case."""
    with open(path, "rb") as f:
        data = f.read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0", path
    section_count, = struct.unpack_from("<H", data, pe + 6)
    optional_size, = struct.unpack_from("<H", data, pe + 20)
    optional = pe + 24
    magic, = struct.unpack_from("<H", data, optional)
    assert magic == PE_MAGIC[arch], f"{path}: optional header magic {magic:#x}, not that of an {arch} build"
    # The data directories follow the fields whose size differs: 96 bytes in PE32, 112 in PE32+.
    import_rva, = struct.unpack_from("<I", data, optional + (96 if arch == "i686" else 112) + 8)  # directory 1
    sections = [struct.unpack_from("<IIII", data, optional + optional_size + 40 * i + 8)
                for i in range(section_count)]

    def offset(rva):
        for size, address, raw_size, raw in sections:
            if address <= rva < address + max(size, raw_size):
                return rva - address + raw
        raise ValueError(f"RVA {rva:#x} lies in no section")

    names = []
    descriptor = offset(import_rva)
    while any(struct.unpack_from("<5I", data, descriptor)):
        name = offset(struct.unpack_from("<I", data, descriptor + 12)[0])
        names.append(data[name:data.index(b"\0", name)].decode("ascii").lower())
        descriptor += 20
    return names
