// Which names may reach the file system from an archive or a download. Windows opens a device,
// not a file, for a component named CON, PRN, AUX, NUL, COM0-COM9 or LPT0-LPT9 (the digit may also
// be a superscript one, two or three), whatever its extension or letter case; and a name with a
// parent component, a leading separator or a colon points outside the folder it is joined to.
// Names are UTF-16, as decoded from the archive: in a double-byte code page a trail byte can equal
// the backslash, so separators are only ever looked for in decoded text.
#pragma once

#include <wchar.h>

// True when component (one path component, possibly with an extension) names a reserved device.
bool IsReservedDeviceName(const wchar_t* component);

// True when name, joined to a folder, stays below that folder and names no device: it does not
// begin with a separator, holds no colon, and no component (split at either separator) is a parent
// reference or a reserved device name. The empty name is safe: it names the folder itself.
bool IsSafeEntryName(const wchar_t* name);
