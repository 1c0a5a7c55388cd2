#include "tools/ShellLinkReader.h"

#include <windows.h>
#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>
#include <shobjidl.h>

#include "core/HandlesWin32.h"

bool ReadShellLink(const std::wstring& path, ShellLinkInfo* info) {
    Quorvel::QVComPtr<IShellLinkW> link;
    if (FAILED(::CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.put_void()))) return false;
    Quorvel::QVComPtr<IPersistFile> file;
    if (FAILED(link->QueryInterface(IID_IPersistFile, file.put_void()))) return false;
    if (FAILED(file->Load(path.c_str(), STGM_READ))) return false;
    wchar_t text[1024];
    text[0] = 0;
    link->GetPath(text, 1024, NULL, SLGP_RAWPATH);
    info->target = text;
    text[0] = 0;
    link->GetArguments(text, 1024);
    info->arguments = text;
    text[0] = 0;
    link->GetWorkingDirectory(text, 1024);
    info->workingDirectory = text;
    text[0] = 0;
    info->iconIndex = -1;
    link->GetIconLocation(text, 1024, &info->iconIndex);
    info->iconPath = text;
    text[0] = 0;
    link->GetDescription(text, 1024);
    info->description = text;
    return true;
}
