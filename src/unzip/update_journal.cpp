#include "unzip/update_journal.h"

#include <cstring>
#include <cwchar>

#include "unzip/file_placement.h"

namespace {

const char kMagic[4] = {'V', 'X', 'J', '1'};
const DWORD kCommittedAt = 4;
const DWORD kCountAt = 8;
const DWORD kSizeAt = 12;
const DWORD kNameLengthAt = 16;
const DWORD kHeaderSize = 20;  // magic, commit mark, count, size, name length; then the name
const DWORD kRecordSize = 28;  // index, hasOld, oldId, newId, target length; then the target
const DWORD kMostEntries = 0xFFFF;
const DWORD kMostBytes =
    kHeaderSize + MAX_PATH * sizeof(wchar_t) + kMostEntries * (kRecordSize + MAX_PATH * sizeof(wchar_t));
const DWORD kFirstCapacity = 0x10000;

void PutDword(BYTE* at, DWORD value) {
    memcpy(at, &value, sizeof(value));
}

DWORD GetDword(const BYTE* at) {
    DWORD value = 0;
    memcpy(&value, at, sizeof(value));
    return value;
}

// The text of length characters at offset, whole within size bytes and not longer than a path.
bool FitsText(DWORD offset, DWORD length, DWORD size) {
    return length < MAX_PATH && offset <= size && length * sizeof(wchar_t) <= size - offset;
}

}  // namespace

bool CUpdateJournal::ComposeJournalPath(const wchar_t* staging, wchar_t (&path)[MAX_PATH]) {
    return ComposePath(staging, L"journal", path);
}

bool CUpdateJournal::Reserve(DWORD bytes) {
    if (bytes <= m_dwCapacity) {
        return true;
    }
    DWORD capacity = m_dwCapacity == 0 ? kFirstCapacity : m_dwCapacity;
    while (capacity < bytes) {
        capacity *= 2;
    }
    void* grown = m_pBytes.IsValid()
                      ? HeapReAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, m_pBytes.Get(), capacity)
                      : HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, capacity);
    if (grown == nullptr) {
        return false;  // the block as it was stays valid
    }
    m_pBytes.Detach();
    m_pBytes.Reset(grown);
    m_dwCapacity = capacity;
    return true;
}

bool CUpdateJournal::Begin(const wchar_t* packageName, DWORD count) {
    const DWORD nameLength = static_cast<DWORD>(wcslen(packageName));
    m_dwSize = 0;
    m_dwCount = 0;
    m_dwRoom = 0;
    m_pOffsets.Reset(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (count + 1) * sizeof(DWORD)));
    if (count > kMostEntries || nameLength >= MAX_PATH || !m_pOffsets.IsValid() ||
        !Reserve(kHeaderSize + nameLength * sizeof(wchar_t))) {
        return false;
    }
    BYTE* bytes = static_cast<BYTE*>(m_pBytes.Get());
    memcpy(bytes, kMagic, sizeof(kMagic));
    PutDword(bytes + kCommittedAt, 0);
    PutDword(bytes + kNameLengthAt, nameLength);
    memcpy(bytes + kHeaderSize, packageName, nameLength * sizeof(wchar_t));
    m_dwSize = kHeaderSize + nameLength * sizeof(wchar_t);
    m_dwRoom = count;
    return true;
}

bool CUpdateJournal::Add(const CJournalEntry& entry) {
    const DWORD targetLength = static_cast<DWORD>(wcsnlen(entry.target, MAX_PATH));
    const DWORD recordSize = kRecordSize + targetLength * sizeof(wchar_t);
    if (m_dwCount >= m_dwRoom || targetLength >= MAX_PATH || !Reserve(m_dwSize + recordSize)) {
        return false;
    }
    BYTE* record = static_cast<BYTE*>(m_pBytes.Get()) + m_dwSize;
    PutDword(record, entry.index);
    PutDword(record + 4, entry.hasOld ? 1 : 0);
    memcpy(record + 8, &entry.oldId, sizeof(entry.oldId));
    memcpy(record + 16, &entry.newId, sizeof(entry.newId));
    PutDword(record + 24, targetLength);
    memcpy(record + kRecordSize, entry.target, targetLength * sizeof(wchar_t));
    static_cast<DWORD*>(m_pOffsets.Get())[m_dwCount++] = m_dwSize;
    m_dwSize += recordSize;
    return true;
}

bool CUpdateJournal::Write(const wchar_t* staging) {
    if (!m_pBytes.IsValid() || !ComposeJournalPath(staging, m_szPath)) {
        return false;
    }
    BYTE* bytes = static_cast<BYTE*>(m_pBytes.Get());
    PutDword(bytes + kCountAt, m_dwCount);
    PutDword(bytes + kSizeAt, m_dwSize);
    CScopedHandle file(
        CreateFileW(m_szPath, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file.IsValid() && WriteFile(file.Get(), bytes, m_dwSize, &written, nullptr) &&
           written == m_dwSize && FlushFileBuffers(file.Get());
}

bool CUpdateJournal::MarkCommitted() {
    CScopedHandle file(CreateFileW(m_szPath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    const DWORD mark = 1;
    DWORD written = 0;
    if (!file.IsValid() || SetFilePointer(file.Get(), kCommittedAt, nullptr, FILE_BEGIN) != kCommittedAt ||
        !WriteFile(file.Get(), &mark, sizeof(mark), &written, nullptr) || written != sizeof(mark) ||
        !FlushFileBuffers(file.Get())) {
        return false;
    }
    PutDword(static_cast<BYTE*>(m_pBytes.Get()) + kCommittedAt, mark);
    return true;
}

bool CUpdateJournal::Load(const wchar_t* staging) {
    m_dwSize = 0;
    m_dwCount = 0;
    m_dwRoom = 0;
    CScopedHandle file;
    if (ComposeJournalPath(staging, m_szPath)) {
        file.Reset(CreateFileW(m_szPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    }
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!file.IsValid() || !GetFileInformationByHandle(file.Get(), &information) ||
        (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
        information.nFileSizeHigh != 0 || information.nFileSizeLow < kHeaderSize ||
        information.nFileSizeLow > kMostBytes || !Reserve(information.nFileSizeLow)) {
        return false;
    }
    const DWORD size = information.nFileSizeLow;
    BYTE* bytes = static_cast<BYTE*>(m_pBytes.Get());
    DWORD read = 0;
    if (!ReadFile(file.Get(), bytes, size, &read, nullptr) || read != size ||
        memcmp(bytes, kMagic, sizeof(kMagic)) != 0 || GetDword(bytes + kSizeAt) != size ||
        GetDword(bytes + kCountAt) > kMostEntries || GetDword(bytes + kCommittedAt) > 1 ||
        !FitsText(kHeaderSize, GetDword(bytes + kNameLengthAt), size)) {
        return false;
    }
    const DWORD count = GetDword(bytes + kCountAt);
    m_pOffsets.Reset(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (count + 1) * sizeof(DWORD)));
    if (!m_pOffsets.IsValid()) {
        return false;
    }
    // Every record whole, one after the other, up to the journal's end.
    DWORD at = kHeaderSize + GetDword(bytes + kNameLengthAt) * sizeof(wchar_t);
    for (DWORD position = 0; position < count; ++position) {
        if (at > size || size - at < kRecordSize ||
            !FitsText(at + kRecordSize, GetDword(bytes + at + 24), size)) {
            return false;
        }
        static_cast<DWORD*>(m_pOffsets.Get())[position] = at;
        at += kRecordSize + GetDword(bytes + at + 24) * sizeof(wchar_t);
    }
    if (at != size) {
        return false;
    }
    m_dwSize = size;
    m_dwCount = count;
    m_dwRoom = count;
    return true;
}

bool CUpdateJournal::Entry(DWORD position, CJournalEntry& entry) const {
    memset(&entry, 0, sizeof(entry));
    if (position >= m_dwCount) {
        return false;
    }
    const BYTE* record =
        static_cast<const BYTE*>(m_pBytes.Get()) + static_cast<const DWORD*>(m_pOffsets.Get())[position];
    entry.index = GetDword(record);
    entry.hasOld = GetDword(record + 4) != 0;
    memcpy(&entry.oldId, record + 8, sizeof(entry.oldId));
    memcpy(&entry.newId, record + 16, sizeof(entry.newId));
    memcpy(entry.target, record + kRecordSize, GetDword(record + 24) * sizeof(wchar_t));
    return true;
}

bool CUpdateJournal::IsCommitted() const {
    return m_dwSize != 0 && GetDword(static_cast<const BYTE*>(m_pBytes.Get()) + kCommittedAt) == 1;
}

void CUpdateJournal::PackageName(wchar_t (&name)[MAX_PATH]) const {
    ZeroMemory(name, sizeof(name));
    if (m_dwSize != 0) {
        const BYTE* bytes = static_cast<const BYTE*>(m_pBytes.Get());
        memcpy(name, bytes + kHeaderSize, GetDword(bytes + kNameLengthAt) * sizeof(wchar_t));
    }
}
