#ifndef QV_TOOLS_SHELLLINKREADER_H
#define QV_TOOLS_SHELLLINKREADER_H

#include <string>

// A shortcut as the shell itself reads it back (IShellLinkW through
// IPersistFile::Load). Needs COM on the calling thread.
struct ShellLinkInfo {
    std::wstring target, arguments, workingDirectory, iconPath, description;
    int iconIndex;
};

bool ReadShellLink(const std::wstring& path, ShellLinkInfo* info);

#endif
