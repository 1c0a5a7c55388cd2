#ifndef QV_CORE_NAMES_H
#define QV_CORE_NAMES_H

#include <stddef.h>

// The names an installation gives what it makes. make-installer's check of
// the paths' lengths (qvcheck) adds up these same names, so a rename here
// cannot leave it counting the old ones.
namespace Quorvel {

const wchar_t kSettingsFileName[] = L"setting.ini";
const wchar_t kTempClientFileName[] = L"temp.exe";  // the new client, until it replaces the old
const wchar_t kTempSettingsFileName[] = L"temp.ini";  // the new settings, likewise
const wchar_t kArchiveFileName[] = L"res.zip";      // until it is extracted
const wchar_t kResourceFolderName[] = L"res";
const wchar_t kClientExtension[] = L".exe";          // after the game's name
const wchar_t kShortcutExtension[] = L".lnk";
const wchar_t kUninstallPrefix[] = L"\x5378\x8F7D";  // "卸载" (uninstall), straight before the game's name

// Characters of a name above, without its terminator.
template <size_t N>
constexpr size_t NameLength(const wchar_t (&)[N]) {
    return N - 1;
}

}  // namespace Quorvel

#endif
