#include "archive/PathHelpers.h"

#include <wctype.h>

#include "core/PathOps.h"

namespace Quorvel {

bool IsAbsolutePath(const std::wstring& path) {
    if (path.size() < 2) return false;
    if (path[0] == L'\\' && path[1] == L'\\') return true;
    return path[1] == L':' && (path.size() == 2 || IsPathSeparator(path[2]));
}

std::wstring JoinPath(const std::wstring& base, const std::wstring& name) {
    std::wstring tail(name);
    NormalizePath(tail, StripQuotes);
    if (IsAbsolutePath(tail)) return tail;
    std::wstring head(base);
    NormalizePath(head, StripQuotes);
    NormalizePath(head, EnsureTrailingSeparator);
    std::wstring::size_type skip = 0;
    while (skip < tail.size() && IsPathSeparator(tail[skip])) ++skip;
    tail.erase(0, skip);
    return head.empty() ? tail : head + tail;
}

std::wstring PathExtension(const std::wstring& path) {
    const std::wstring::size_type separator = path.find_last_of(L"\\/");
    const std::wstring::size_type start = separator == std::wstring::npos ? 0 : separator;
    const std::wstring::size_type dot = path.rfind(L'.');
    if (dot == std::wstring::npos || dot < start) return std::wstring();
    return path.substr(dot);
}

bool EqualsNoCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (std::wstring::size_type i = 0; i < a.size(); ++i) {
        if (towupper(static_cast<wint_t>(a[i])) != towupper(static_cast<wint_t>(b[i]))) return false;
    }
    return true;
}

}  // namespace Quorvel
