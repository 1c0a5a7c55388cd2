#ifndef QV_ARCHIVE_ENTRYNAME_H
#define QV_ARCHIVE_ENTRYNAME_H

#include <string>

namespace Quorvel {

// One name component that Windows stores as a plain file or folder of
// exactly that name: not empty, not "." or "..", no separator, colon,
// wildcard, quote or control character, no device name (CON, NUL, COM1,
// LPT1, CONIN$ ..., also with an extension) and no trailing dot or space.
bool IsPlainNameComponent(const std::wstring& component);

// A relative archive name as the join rule uses it (one pair of quotes and
// leading separators ignored) that stays inside the destination. Only
// separators, or nothing, names the destination itself, which is fine for
// a directory; a file needs a last component.
bool IsSafeEntryName(const std::wstring& name, bool isFile);

}  // namespace Quorvel

#endif
