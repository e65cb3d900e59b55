#include "zip_writer.h"

#include <zlib.h>

#include <random>
#include <stdexcept>

namespace {

void Put16(std::string& out, uint32_t value) {
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>((value >> 8) & 0xFF));
}

void Put32(std::string& out, uint32_t value) {
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

std::string RawDeflate(const std::string& plain) {
    z_stream stream = {};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("deflateInit2");
    }
    std::string out(deflateBound(&stream, static_cast<uLong>(plain.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
    stream.avail_in = static_cast<uInt>(plain.size());
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (result != Z_STREAM_END) {
        throw std::runtime_error("deflate");
    }
    return out;
}

}  // namespace

std::string BuildZip(const std::vector<CZipEntry>& entries) {
    std::string archive;
    std::string directory;
    for (const CZipEntry& entry : entries) {
        const std::string& plain = entry.hasPayload ? entry.payload : entry.data;
        const std::string stored = entry.method == 8 ? RawDeflate(plain) : plain;
        const uint32_t crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(entry.data.data()),
                                                         static_cast<uInt>(entry.data.size())));
        const uint32_t offset = static_cast<uint32_t>(archive.size());

        // From the flags to the name's length, both headers hold the same fields.
        const auto putSharedFields = [&](std::string& out) {
            Put16(out, entry.flags);
            Put16(out, entry.method);
            Put16(out, entry.dosTime);
            Put16(out, entry.dosDate);
            Put32(out, crc);
            Put32(out, static_cast<uint32_t>(stored.size()));
            Put32(out, static_cast<uint32_t>(entry.data.size()));
            Put16(out, static_cast<uint32_t>(entry.name.size()));
        };

        Put32(archive, 0x04034B50);
        Put16(archive, 20);
        putSharedFields(archive);
        Put16(archive, static_cast<uint32_t>(entry.extra.size()));
        archive += entry.name;
        archive += entry.extra;
        archive += stored;

        Put32(directory, 0x02014B50);
        Put16(directory, 20);
        Put16(directory, 20);
        putSharedFields(directory);
        Put16(directory, static_cast<uint32_t>(entry.extra.size()));
        Put16(directory, static_cast<uint32_t>(entry.comment.size()));
        Put16(directory, 0);
        Put16(directory, 0);
        Put32(directory, entry.externalAttributes);
        Put32(directory, offset);
        directory += entry.name;
        directory += entry.extra;
        directory += entry.comment;
    }
    const uint32_t directoryOffset = static_cast<uint32_t>(archive.size());
    archive += directory;
    Put32(archive, 0x06054B50);
    Put16(archive, 0);
    Put16(archive, 0);
    Put16(archive, static_cast<uint32_t>(entries.size()));
    Put16(archive, static_cast<uint32_t>(entries.size()));
    Put32(archive, static_cast<uint32_t>(directory.size()));
    Put32(archive, directoryOffset);
    Put16(archive, 0);
    return archive;
}

CZipEntry StoredEntry(const std::string& name, const std::string& data) {
    CZipEntry entry;
    entry.name = name;
    entry.data = data;
    entry.method = 0;
    return entry;
}

CZipEntry DeflatedEntry(const std::string& name, const std::string& data) {
    CZipEntry entry;
    entry.name = name;
    entry.data = data;
    entry.method = 8;
    return entry;
}

std::string UnicodePathField(const std::string& storedName, const std::string& utf8Name) {
    std::string field;
    Put16(field, 0x7075);
    Put16(field, static_cast<uint32_t>(5 + utf8Name.size()));
    field.push_back(1);
    Put32(field, static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(storedName.data()),
                                             static_cast<uInt>(storedName.size()))));
    return field + utf8Name;
}

std::string RandomBytes(size_t count, uint32_t seed) {
    std::mt19937 generator(seed);
    std::string bytes(count, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(generator() & 0xFF);
    }
    return bytes;
}

std::string TextBytes(size_t count, uint32_t seed) {
    static const char* const kWords[] = {"update ", "package ", "folder ", "entry ", "time ", "zone\r\n"};
    std::mt19937 generator(seed);
    std::string text;
    while (text.size() < count) {
        text += kWords[generator() % 6];
    }
    text.resize(count);
    return text;
}
