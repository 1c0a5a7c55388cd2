#ifndef QV_CORE_SHELL_H
#define QV_CORE_SHELL_H

#include <string>

namespace Quorvel {

enum {
    kCsidlPrograms = 2,
    kCsidlDesktopDirectory = 16,
    kCsidlAppData = 26
};

// The shell folder's path without a trailing backslash; empty when the
// shell cannot supply it (a missing folder is not created).
std::wstring GetSpecialFolder(int csidl);
std::wstring AppDataFolder();
std::wstring DesktopFolder();
std::wstring ProgramsFolder();

}  // namespace Quorvel

#endif
