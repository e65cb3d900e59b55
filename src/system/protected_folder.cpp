#include "system/protected_folder.h"

#include <aclapi.h>

#include "system/scoped_handles.h"

namespace {

// A SID in a buffer of its own, so that it outlives the block it was read from.
struct CSidBuffer {
    alignas(DWORD) BYTE bytes[SECURITY_MAX_SID_SIZE];
    PSID Get() { return bytes; }
};

bool MakeWellKnownSid(WELL_KNOWN_SID_TYPE type, CSidBuffer& sid) {
    ZeroMemory(sid.bytes, sizeof(sid.bytes));
    DWORD size = sizeof(sid.bytes);
    return CreateWellKnownSid(type, nullptr, sid.Get(), &size) != FALSE;
}

// The run's token user, or its default owner: the user, or Administrators for an elevated member.
bool ReadTokenSid(TOKEN_INFORMATION_CLASS kind, CSidBuffer& sid) {
    ZeroMemory(sid.bytes, sizeof(sid.bytes));
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    CScopedHandle ownedToken(token);
    alignas(DWORD) BYTE information[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    DWORD size = 0;
    if (!GetTokenInformation(token, kind, information, sizeof(information), &size)) {
        return false;
    }
    PSID found = kind == TokenUser ? reinterpret_cast<TOKEN_USER*>(information)->User.Sid
                                   : reinterpret_cast<TOKEN_OWNER*>(information)->Owner;
    return CopySid(sizeof(sid.bytes), sid.Get(), found) != FALSE;
}

}  // namespace

bool CreateProtectedFolder(const wchar_t* path) {
    CSidBuffer system;
    CSidBuffer administrators;
    CSidBuffer owner;
    if (!MakeWellKnownSid(WinLocalSystemSid, system) ||
        !MakeWellKnownSid(WinBuiltinAdministratorsSid, administrators) || !ReadTokenSid(TokenOwner, owner)) {
        return false;
    }
    // Inherited by everything made inside; nothing is inherited from the folder above.
    alignas(DWORD) BYTE aclBytes[sizeof(ACL) + 3 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE)] = {};
    PACL acl = reinterpret_cast<PACL>(aclBytes);
    const DWORD inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    if (!InitializeAcl(acl, sizeof(aclBytes), ACL_REVISION) ||
        !AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, system.Get()) ||
        !AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, administrators.Get())) {
        return false;
    }
    if (!EqualSid(owner.Get(), system.Get()) && !EqualSid(owner.Get(), administrators.Get()) &&
        !AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, owner.Get())) {
        return false;
    }
    SECURITY_DESCRIPTOR descriptor = {};
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
        return false;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, FALSE};
    return CreateDirectoryW(path, &attributes) != FALSE;
}

bool IsProtectedAsMade(HANDLE folder) {
    CSidBuffer system;
    CSidBuffer administrators;
    CSidBuffer user;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!MakeWellKnownSid(WinLocalSystemSid, system) ||
        !MakeWellKnownSid(WinBuiltinAdministratorsSid, administrators) || !ReadTokenSid(TokenUser, user) ||
        GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                        &owner, nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    CScopedLocalBlock ownedDescriptor(descriptor);
    // Only these can make a folder owned by one of them: another user can neither take nor give
    // ownership. A missing DACL allows everyone everything.
    if (owner == nullptr || dacl == nullptr ||
        (!EqualSid(owner, user.Get()) && !EqualSid(owner, administrators.Get()) &&
         !EqualSid(owner, system.Get()))) {
        return false;
    }
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        void* ace = nullptr;
        if (!GetAce(dacl, index, &ace)) {
            return false;
        }
        const BYTE type = static_cast<ACE_HEADER*>(ace)->AceType;
        if (type == ACCESS_DENIED_ACE_TYPE) {
            continue;  // takes nothing from the check
        }
        PSID allowed = &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
        if (type != ACCESS_ALLOWED_ACE_TYPE ||
            (!EqualSid(allowed, system.Get()) && !EqualSid(allowed, administrators.Get()) &&
             !EqualSid(allowed, owner))) {
            return false;
        }
    }
    return true;
}
