#include "core/PathOps.h"

namespace Quorvel {

bool IsPathSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

void NormalizePath(std::wstring& path, unsigned flags) {
    if ((flags & StripQuotes) && path.size() >= 2 && path[0] == L'"' && path[path.size() - 1] == L'"') {
        path = path.substr(1, path.size() - 2);
    }
    if (flags & (EnsureTrailingSeparator | TrimTrailingSeparators)) {
        while (!path.empty() && IsPathSeparator(path[path.size() - 1])) path.erase(path.size() - 1);
        if ((flags & EnsureTrailingSeparator) && !(flags & TrimTrailingSeparators) && !path.empty()) {
            path += L'\\';
        }
    }
}

std::wstring DirectoryOf(const std::wstring& path) {
    const std::wstring::size_type slash = path.rfind(L'\\');
    if (slash == std::wstring::npos) return path;
    return path.substr(0, slash + 1);
}

}  // namespace Quorvel
