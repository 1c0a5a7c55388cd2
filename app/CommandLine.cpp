#include "app/CommandLine.h"

#include <algorithm>

namespace Quorvel {

namespace {

const wchar_t kPrefixes[] = L"-/";
const wchar_t kSeparators[] = L" :=";

bool NameBefore(const std::pair<std::wstring, std::wstring>& entry, const std::wstring& name) { return entry.first < name; }

std::wstring TrimSpaces(const std::wstring& text) {
    const std::wstring::size_type first = text.find_first_not_of(L' ');
    if (first == std::wstring::npos) return std::wstring();
    const std::wstring::size_type last = text.find_last_not_of(L' ');
    return text.substr(first, last - first + 1);
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

bool NamesModule(const std::wstring& written, const std::wstring& modulePath) {
    if (written.empty()) return false;
    const std::wstring path = LowerAscii(modulePath);
    const std::wstring forms[] = {LowerAscii(written), LowerAscii(written) + L".exe"};
    for (const std::wstring& form : forms) {
        if (form.size() > path.size() || path.compare(path.size() - form.size(), form.size(), form) != 0) continue;
        // The whole path, or a whole trailing part of it.
        const std::wstring::size_type before = path.size() - form.size();
        if (before == 0 || path[before - 1] == L'\\' || path[before - 1] == L'/') return true;
    }
    return false;
}

}  // namespace

std::wstring LowerAscii(const std::wstring& text) {
    std::wstring out(text);
    for (std::wstring::size_type i = 0; i < out.size(); ++i) {
        if (out[i] >= L'A' && out[i] <= L'Z') out[i] = static_cast<wchar_t>(out[i] - L'A' + L'a');
    }
    return out;
}

std::wstring ArgumentsAfterProgram(const wchar_t* commandLine, const std::wstring& modulePath) {
    if (commandLine == 0) return std::wstring();
    const std::wstring text(commandLine);
    std::wstring::size_type end;
    if (!text.empty() && text[0] == L'"') {
        end = text.find(L'"', 1);
        end = end == std::wstring::npos ? text.size() : end + 1;
    } else {
        end = text.find_first_of(L" \t");
        if (end == std::wstring::npos) end = text.size();
        // Never longer than the module's own path.
        for (std::wstring::size_type at = end; !modulePath.empty() && at <= modulePath.size(); ++at) {
            if ((at == text.size() || IsBlank(text[at])) && NamesModule(text.substr(0, at), modulePath)) {
                end = at;
                break;
            }
            if (at == text.size()) break;
        }
    }
    const std::wstring::size_type start = text.find_first_not_of(L" \t", end);
    return start == std::wstring::npos ? std::wstring() : text.substr(start);
}

QVCommandLine::QVCommandLine(const wchar_t* text) {
    if (text != 0) Parse(std::wstring(text));
}

void QVCommandLine::Store(const std::wstring& name, const std::wstring& value) {
    const QVOptionMap::iterator at = std::lower_bound(m_options.begin(), m_options.end(), name, NameBefore);
    if (at != m_options.end() && at->first == name) return;  // the first occurrence stays
    m_options.insert(at, std::make_pair(name, value));
}

void QVCommandLine::Parse(const std::wstring& text) {
    typedef std::wstring::size_type Pos;
    m_options.clear();
    if (text.empty()) return;
    Pos p = 0;
    for (;;) {
        const Pos q = text.find_first_of(kPrefixes, p);
        if (q == std::wstring::npos) {
            const std::wstring loose = TrimSpaces(text.substr(p));
            if (!loose.empty()) Store(loose, std::wstring());
            return;
        }
        if (q > p) {
            const std::wstring loose = TrimSpaces(text.substr(p, q - p));
            if (!loose.empty()) Store(loose, std::wstring());
        }
        p = q + 1;
        if (p >= text.size()) return;
        const Pos s = text.find_first_of(kSeparators, p);
        if (s == std::wstring::npos) {
            Store(LowerAscii(text.substr(p)), std::wstring());
            return;
        }
        const std::wstring name = LowerAscii(text.substr(p, s - p));
        if (text[s] == L' ' || s + 1 == text.size()) {
            if (!name.empty()) Store(name, std::wstring());
            p = s + 1;
        } else {
            Pos start = s + 1;
            Pos end;
            if (text[start] == L'"') {
                ++start;
                end = text.find(L'"', start);
            } else {
                end = text.find(L' ', start);
            }
            if (end == std::wstring::npos) {
                if (!name.empty()) Store(name, start < text.size() ? text.substr(start) : std::wstring());
                return;
            }
            if (!name.empty()) Store(name, text.substr(start, end - start));
            p = end + 1;
        }
        if (p >= text.size()) return;
    }
}

bool QVCommandLine::Find(const std::wstring& query, std::wstring* value) const {
    if (query.empty()) return false;
    std::wstring key = LowerAscii(query);
    if (key[0] == L'-' || key[0] == L'/') key.erase(0, 1);
    if (!key.empty()) {
        const wchar_t last = key[key.size() - 1];
        if (last == L' ' || last == L':' || last == L'=') key.erase(key.size() - 1);
    }
    if (key.empty()) return false;
    const QVOptionMap::const_iterator it = std::lower_bound(m_options.begin(), m_options.end(), key, NameBefore);
    if (it == m_options.end() || it->first != key) return false;
    if (value != 0) *value = it->second;
    return true;
}

bool QVCommandLine::HasOption(const std::wstring& name) const { return Find(name, 0); }

std::wstring QVCommandLine::GetOptionValue(const std::wstring& name) const {
    std::wstring value;
    Find(name, &value);
    return value;
}

}  // namespace Quorvel
