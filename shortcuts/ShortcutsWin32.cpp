#include <windows.h>
#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>
#include <shobjidl.h>

#include "shortcuts/Shortcuts.h"

#include "archive/PathHelpers.h"
#include "core/HandlesWin32.h"
#include "core/Names.h"
#include "core/PathOps.h"
#include "core/Shell.h"

namespace Quorvel {

bool CreateShortcuts(const std::wstring& name, const std::wstring& clientPath) {
    QVComApartment apartment(COINIT_APARTMENTTHREADED);
    CreateShortcut(name, clientPath, clientPath, std::wstring(), DesktopFolder() + L"\\" + name);
    const std::wstring folder = ProgramsFolder() + L"\\" + name + L"\\";
    EnsureDirectory(folder);
    CreateShortcut(name, clientPath, clientPath, std::wstring(), folder + name);
    CreateShortcut(name, clientPath, clientPath, L"-uninstall", folder + kUninstallPrefix + name);
    return true;
}

bool CreateShortcut(const std::wstring& description, const std::wstring& iconPath, const std::wstring& target,
                    const std::wstring& arguments, const std::wstring& linkPath) {
    if (target.empty() || linkPath.empty()) return false;
    std::wstring workingDirectory, fileName, linkFolder;
    if (!DirectoryPart(target, &workingDirectory)) return false;
    if (!FileNamePart(linkPath, &fileName) || fileName.empty()) return false;
    if (!DirectoryPart(linkPath, &linkFolder)) return false;
    NormalizePath(linkFolder, TrimTrailingSeparators);
    if (!PathExists(linkFolder)) EnsureDirectory(linkFolder);
    if (!PathExists(linkFolder) || !IsDirectory(linkFolder)) return false;
    std::wstring shortcutFile = linkFolder + L"\\" + fileName;

    QVComPtr<IShellLinkW> link;
    if (FAILED(::CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.put_void())) ||
        link.get() == NULL) {
        return false;
    }
    QVComPtr<IPersistFile> file;
    if (FAILED(link->QueryInterface(IID_IPersistFile, file.put_void())) || file.get() == NULL) return false;
    link->SetPath(target.c_str());
    link->SetWorkingDirectory(workingDirectory.c_str());
    link->SetIconLocation(iconPath.empty() ? target.c_str() : iconPath.c_str(), 0);
    link->SetArguments(arguments.c_str());
    link->SetDescription(description.c_str());

    if (!EqualsNoCase(PathExtension(shortcutFile), kShortcutExtension)) shortcutFile += kShortcutExtension;
    if (PathExists(shortcutFile)) ::DeleteFileW(shortcutFile.c_str());
    return SUCCEEDED(file->Save(shortcutFile.c_str(), TRUE));
}

}  // namespace Quorvel
