"""A ZIP archive of fixed bytes for a list of entries: the same files, names and times give the same
archive. Each file is deflated, or stored where deflating does not make it smaller; ASCII names are
written as they are, any other name in UTF-8 with the language-encoding flag (bit 11)."""
import datetime
import os
import struct
import zlib

UTF8_FLAG = 0x0800
STORED, DEFLATED = 0, 8
_CHUNK = 1 << 20
_MADE_BY = 20  # version 2.0 on MS-DOS: the external attributes below are DOS attributes
_ARCHIVE_ATTRIBUTE = 0x20
_LIMIT = 0xFFFFFFFF


class ArchiveTooLarge(Exception):
    pass


class SourceChanged(Exception):
    pass


def dos_date_time(mtime, zone):
    """(DOS date, DOS time, the local time written) for a modification time: the local time in zone
    (None: the machine's), rounded down to even seconds, clamped to the years DOS dates can hold."""
    local = datetime.datetime.fromtimestamp(int(mtime // 1), zone).replace(tzinfo=None)
    local = min(max(local, datetime.datetime(1980, 1, 1)), datetime.datetime(2107, 12, 31, 23, 59, 58))
    local = local.replace(second=local.second - local.second % 2)
    date = (local.year - 1980) << 9 | local.month << 5 | local.day
    time = local.hour << 11 | local.minute << 5 | local.second // 2
    return date, time, local


def encode_name(name):
    try:
        return name.encode("ascii"), 0
    except UnicodeEncodeError:
        return name.encode("utf-8"), UTF8_FLAG


def _local_header(method, flags, date, time, crc, compressed, size, stored_name):
    version = 20 if method == DEFLATED else 10
    return struct.pack("<IHHHHHIIIHH", 0x04034B50, version, flags, method, time, date, crc, compressed, size,
                       len(stored_name), 0) + stored_name


def _write_entry(out, entry, date, time):
    """Writes one local header and its data; the central record's fields."""
    stored_name, flags = encode_name(entry.name)
    offset = out.tell()
    out.write(_local_header(DEFLATED, flags, date, time, 0, 0, 0, stored_name))
    data_start = out.tell()
    crc, size = 0, 0
    deflater = zlib.compressobj(9, zlib.DEFLATED, -15)
    with open(entry.path, "rb") as f:
        while chunk := f.read(_CHUNK):
            crc = zlib.crc32(chunk, crc)
            size += len(chunk)
            out.write(deflater.compress(chunk))
        out.write(deflater.flush())
        compressed = out.tell() - data_start
        method = DEFLATED
        reads = {(size, crc)}
        if compressed >= size:
            method, compressed = STORED, size
            out.seek(data_start)
            out.truncate()
            f.seek(0)
            copied, crc_again = 0, 0
            while chunk := f.read(_CHUNK):
                out.write(chunk)
                crc_again = zlib.crc32(chunk, crc_again)
                copied += len(chunk)
            reads.add((copied, crc_again))
    # A file that a build still writes would be packed half old and half new, or, stored, with the size
    # and CRC of the first read and the bytes of the second: each read must give the size the scan found
    # and the same bytes, and the file must keep its size and time.
    after = os.lstat(entry.path)
    if reads != {(entry.size, crc)} or (after.st_size, after.st_mtime_ns) != (entry.size, entry.mtime_ns):
        raise SourceChanged(f"{entry.name}: changed while it was packed; package the folder once it is written")
    if size >= _LIMIT or out.tell() >= _LIMIT:
        raise ArchiveTooLarge(f"{entry.name}: the package would reach 4 GB; the starter unpacks smaller ones")
    end = out.tell()
    out.seek(offset)
    out.write(_local_header(method, flags, date, time, crc, compressed, size, stored_name))
    out.seek(end)
    return struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, _MADE_BY, 20 if method == DEFLATED else 10, flags, method,
                       time, date, crc, compressed, size, len(stored_name), 0, 0, 0, 0, _ARCHIVE_ATTRIBUTE,
                       offset) + stored_name, method, compressed


def write_archive(out, entries, zone):
    """Writes the archive to the seekable binary file out; (entry, method, compressed size, local time) each."""
    records, written = [], []
    for entry in entries:
        date, time, local = dos_date_time(entry.mtime, zone)
        record, method, compressed = _write_entry(out, entry, date, time)
        records.append(record)
        written.append((entry, method, compressed, local))
    directory_offset = out.tell()
    for record in records:
        out.write(record)
    directory_size = out.tell() - directory_offset
    if out.tell() >= _LIMIT:
        raise ArchiveTooLarge("the package's list of entries would reach 4 GB")
    out.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(records), len(records), directory_size,
                          directory_offset, 0))
    return written
