#include "system/folder_security.h"

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

// The run's token user, its default owner (the user, or Administrators for an elevated member) or its
// primary group.
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
    // TOKEN_OWNER and TOKEN_PRIMARY_GROUP are a single SID pointer each.
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

bool CInheritedFileSecurity::Compute(const wchar_t* folder) {
    m_attributes = {};
    CScopedHandle held(CreateFileW(folder, READ_CONTROL,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    PACL parent = nullptr;
    PSECURITY_DESCRIPTOR parentDescriptor = nullptr;
    if (!held.IsValid() || GetSecurityInfo(held.Get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                           nullptr, &parent, nullptr, &parentDescriptor) != ERROR_SUCCESS) {
        return false;
    }
    CScopedLocalBlock ownedParent(parentDescriptor);
    CSidBuffer owner;
    CSidBuffer group;
    CSidBuffer creatorOwner;
    CSidBuffer creatorGroup;
    if (parent == nullptr || !ReadTokenSid(TokenOwner, owner) || !ReadTokenSid(TokenPrimaryGroup, group) ||
        !MakeWellKnownSid(WinCreatorOwnerSid, creatorOwner) ||
        !MakeWellKnownSid(WinCreatorGroupSid, creatorGroup)) {
        return false;
    }
    const DWORD size = sizeof(ACL) + parent->AceCount * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE);
    m_pAcl.Reset(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size));
    PACL acl = static_cast<PACL>(m_pAcl.Get());
    if (acl == nullptr || !InitializeAcl(acl, size, ACL_REVISION)) {
        return false;
    }
    GENERIC_MAPPING fileMapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                                   FILE_ALL_ACCESS};
    for (DWORD index = 0; index < parent->AceCount; ++index) {
        void* ace = nullptr;
        if (!GetAce(parent, index, &ace)) {
            return false;
        }
        const ACE_HEADER* header = static_cast<ACE_HEADER*>(ace);
        if ((header->AceFlags & OBJECT_INHERIT_ACE) == 0) {
            continue;  // for the folder itself, or for folders only
        }
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE) {
            return false;
        }
        // Allowed and denied ACEs share their layout.
        const ACCESS_ALLOWED_ACE* entry = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        PSID sid = const_cast<DWORD*>(&entry->SidStart);
        sid = EqualSid(sid, creatorOwner.Get())   ? owner.Get()
              : EqualSid(sid, creatorGroup.Get()) ? group.Get()
                                                  : sid;
        DWORD mask = entry->Mask;
        MapGenericMask(&mask, &fileMapping);
        const BOOL added = header->AceType == ACCESS_ALLOWED_ACE_TYPE
                               ? AddAccessAllowedAceEx(acl, ACL_REVISION, INHERITED_ACE, mask, sid)
                               : AddAccessDeniedAceEx(acl, ACL_REVISION, INHERITED_ACE, mask, sid);
        if (!added) {
            return false;
        }
    }
    // Marked as inherited, so that a change made to the folder later reaches the file as well.
    if (!InitializeSecurityDescriptor(&m_descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&m_descriptor, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(&m_descriptor, SE_DACL_AUTO_INHERITED, SE_DACL_AUTO_INHERITED)) {
        return false;
    }
    m_attributes.nLength = sizeof(m_attributes);
    m_attributes.lpSecurityDescriptor = &m_descriptor;
    m_attributes.bInheritHandle = FALSE;
    return true;
}
