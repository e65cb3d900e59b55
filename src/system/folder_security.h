// Security of the folders and files an update makes. A folder that only the run's own user,
// Administrators and SYSTEM can change is made with a protected DACL, and recognised again by a
// later run through a held handle, so that what it holds can be trusted; another user may make a
// folder of the same name first, and its owner or DACL tells. A file made there and moved into the
// product keeps its DACL, so it is given the one a new file in the product's folder would inherit.
#pragma once

#include <windows.h>

#include "system/scoped_handles.h"

// Creates the folder with a protected DACL that grants SYSTEM, Administrators and the run's owner
// full access and nobody else anything; false when it exists already or cannot be made.
bool CreateProtectedFolder(const wchar_t* path);

// True when the folder, held open with READ_CONTROL, is owned by the run's user, Administrators or
// SYSTEM, and its DACL allows access to none but SYSTEM, Administrators and that owner.
bool IsProtectedAsMade(HANDLE folder);

// The DACL that a new file in a folder gets by inheritance: the folder's ACEs that files inherit,
// generic rights mapped and CREATOR OWNER or GROUP replaced by the run's own.
class CInheritedFileSecurity {
public:
    CInheritedFileSecurity() = default;
    CInheritedFileSecurity(const CInheritedFileSecurity&) = delete;
    CInheritedFileSecurity& operator=(const CInheritedFileSecurity&) = delete;

    // False when the folder's DACL cannot be read (a volume without security, such as FAT) or holds
    // an ACE of a kind other than allow and deny.
    bool Compute(const wchar_t* folder);
    // For CreateFileW: the security computed, or null (the platform's default) when there is none.
    SECURITY_ATTRIBUTES* Attributes() { return m_attributes.nLength != 0 ? &m_attributes : nullptr; }

private:
    CScopedHeapBlock m_pAcl;
    SECURITY_DESCRIPTOR m_descriptor = {};
    SECURITY_ATTRIBUTES m_attributes = {};
};
