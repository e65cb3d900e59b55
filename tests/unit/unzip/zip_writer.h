// Builds ZIP archives in memory for the unpacker's tests: stored and deflated entries, chosen
// names, times, flags, extra fields and comments, and the faults a damaged package shows (data
// that does not match its CRC-32 or size, an unknown method).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CZipEntry {
    std::string name;
    std::string data;           // what the recorded CRC-32 and uncompressed size describe
    uint16_t method = 8;        // 0 stored, 8 deflated, anything else written as stored bytes
    uint16_t dosDate = 0x5A21;  // 2025-01-01
    uint16_t dosTime = 0x6000;  // 12:00:00
    uint16_t flags = 0;
    std::string comment;
    std::string extra;  // the extra field, the same in both headers
    uint32_t externalAttributes = 0;
    // The bytes actually stored or deflated, when they differ from data (a damaged or cut entry).
    bool hasPayload = false;
    std::string payload;
};

// Folder entries are written as given: a name ending in a separator and no data.
std::string BuildZip(const std::vector<CZipEntry>& entries);

CZipEntry StoredEntry(const std::string& name, const std::string& data);
CZipEntry DeflatedEntry(const std::string& name, const std::string& data);

// An Info-ZIP Unicode Path extra field giving utf8Name for storedName (its CRC-32 is of storedName).
std::string UnicodePathField(const std::string& storedName, const std::string& utf8Name);

// Deterministic bytes: random ones (incompressible) and text-like ones (compressible).
std::string RandomBytes(size_t count, uint32_t seed);
std::string TextBytes(size_t count, uint32_t seed);
