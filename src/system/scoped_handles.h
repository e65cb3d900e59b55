// Owners for the platform's handles and blocks: each releases what it holds when it goes out of
// scope, so every path out of an operation releases what the operation acquired.
#pragma once

#include <windows.h>
#include <bcrypt.h>
#include <wininet.h>

template <typename THandle, typename TTraits>
class CScopedResource {
public:
    CScopedResource() : m_handle(TTraits::Empty()) {}
    explicit CScopedResource(THandle handle) : m_handle(handle) {}
    ~CScopedResource() { Close(); }
    CScopedResource(const CScopedResource&) = delete;
    CScopedResource& operator=(const CScopedResource&) = delete;

    THandle Get() const { return m_handle; }
    bool IsValid() const { return TTraits::IsValid(m_handle); }
    void Reset(THandle handle) {
        Close();
        m_handle = handle;
    }
    // Gives up ownership: for a block the platform has freed or moved itself (HeapReAlloc).
    THandle Detach() {
        const THandle handle = m_handle;
        m_handle = TTraits::Empty();
        return handle;
    }
    void Close() {
        if (TTraits::IsValid(m_handle)) {
            TTraits::Release(m_handle);
        }
        m_handle = TTraits::Empty();
    }

private:
    THandle m_handle;
};

struct CKernelHandleTraits {
    static HANDLE Empty() { return nullptr; }
    static bool IsValid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Release(HANDLE h) { CloseHandle(h); }
};
using CScopedHandle = CScopedResource<HANDLE, CKernelHandleTraits>;

struct CLibraryTraits {
    static HMODULE Empty() { return nullptr; }
    static bool IsValid(HMODULE h) { return h != nullptr; }
    static void Release(HMODULE h) { FreeLibrary(h); }
};
using CScopedLibrary = CScopedResource<HMODULE, CLibraryTraits>;

struct CProcessHeapTraits {
    static void* Empty() { return nullptr; }
    static bool IsValid(void* p) { return p != nullptr; }
    static void Release(void* p) { HeapFree(GetProcessHeap(), 0, p); }
};
using CScopedHeapBlock = CScopedResource<void*, CProcessHeapTraits>;

// Blocks that the platform allocates for its caller, such as a security descriptor it returns.
struct CLocalBlockTraits {
    static HLOCAL Empty() { return nullptr; }
    static bool IsValid(HLOCAL p) { return p != nullptr; }
    static void Release(HLOCAL p) { LocalFree(p); }
};
using CScopedLocalBlock = CScopedResource<HLOCAL, CLocalBlockTraits>;

struct CSidTraits {
    static PSID Empty() { return nullptr; }
    static bool IsValid(PSID p) { return p != nullptr; }
    static void Release(PSID p) { FreeSid(p); }
};
using CScopedSid = CScopedResource<PSID, CSidTraits>;

struct CGdiObjectTraits {
    static HGDIOBJ Empty() { return nullptr; }
    static bool IsValid(HGDIOBJ h) { return h != nullptr; }
    static void Release(HGDIOBJ h) { DeleteObject(h); }
};
using CScopedGdiObject = CScopedResource<HGDIOBJ, CGdiObjectTraits>;

struct CMemoryDcTraits {
    static HDC Empty() { return nullptr; }
    static bool IsValid(HDC h) { return h != nullptr; }
    static void Release(HDC h) { DeleteDC(h); }
};
using CScopedMemoryDc = CScopedResource<HDC, CMemoryDcTraits>;

struct CAlgorithmProviderTraits {
    static BCRYPT_ALG_HANDLE Empty() { return nullptr; }
    static bool IsValid(BCRYPT_ALG_HANDLE h) { return h != nullptr; }
    static void Release(BCRYPT_ALG_HANDLE h) { BCryptCloseAlgorithmProvider(h, 0); }
};
using CScopedAlgorithmProvider = CScopedResource<BCRYPT_ALG_HANDLE, CAlgorithmProviderTraits>;

struct CCngHashTraits {
    static BCRYPT_HASH_HANDLE Empty() { return nullptr; }
    static bool IsValid(BCRYPT_HASH_HANDLE h) { return h != nullptr; }
    static void Release(BCRYPT_HASH_HANDLE h) { BCryptDestroyHash(h); }
};
using CScopedCngHash = CScopedResource<BCRYPT_HASH_HANDLE, CCngHashTraits>;

struct CCngKeyTraits {
    static BCRYPT_KEY_HANDLE Empty() { return nullptr; }
    static bool IsValid(BCRYPT_KEY_HANDLE h) { return h != nullptr; }
    static void Release(BCRYPT_KEY_HANDLE h) { BCryptDestroyKey(h); }
};
using CScopedCngKey = CScopedResource<BCRYPT_KEY_HANDLE, CCngKeyTraits>;
