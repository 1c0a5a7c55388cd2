#ifndef QV_SHORTCUTS_SHORTCUTS_H
#define QV_SHORTCUTS_SHORTCUTS_H

#include <string>

namespace Quorvel {

// The desktop shortcut, and the start-menu folder <name> with a shortcut
// and an uninstall shortcut ("-uninstall"), all to clientPath. A shortcut
// that cannot be made is skipped; always true.
bool CreateShortcuts(const std::wstring& name, const std::wstring& clientPath);

// Creates or replaces one shortcut; ".lnk" is added unless the link path
// ends with it (any case). True when the shell saved it. Needs COM.
bool CreateShortcut(const std::wstring& description, const std::wstring& iconPath, const std::wstring& target,
                    const std::wstring& arguments, const std::wstring& linkPath);

}  // namespace Quorvel

#endif
