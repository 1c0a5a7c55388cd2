// The command-line parser. Input: UTF-16LE units. Oracle: the options map
// and the lookups agree with a second, deliberately plain reading of the
// same rules.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <map>
#include <string>

#include "app/CommandLine.h"

using namespace Quorvel;

namespace {

typedef std::map<std::wstring, std::wstring> Options;

std::wstring Lower(std::wstring s) {
    for (wchar_t& c : s) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + 32);
    }
    return s;
}

std::wstring Trim(const std::wstring& s) {
    size_t a = 0, b = s.size();
    while (a < b && s[a] == L' ') ++a;
    while (b > a && s[b - 1] == L' ') --b;
    return s.substr(a, b - a);
}

Options Naive(const std::wstring& t) {
    Options m;
    auto add = [&m](const std::wstring& k, const std::wstring& v) {
        if (!m.count(k)) m[k] = v;
    };
    const size_t n = t.size();
    size_t i = 0;
    while (i < n) {
        size_t j = i;
        while (j < n && t[j] != L'-' && t[j] != L'/') ++j;
        const std::wstring loose = Trim(t.substr(i, j - i));
        if (!loose.empty()) add(loose, L"");
        if (j == n) break;
        i = j + 1;
        if (i >= n) break;
        size_t k = i;
        while (k < n && t[k] != L' ' && t[k] != L':' && t[k] != L'=') ++k;
        const std::wstring name = Lower(t.substr(i, k - i));
        if (k == n) {
            add(name, L"");
            break;
        }
        if (t[k] == L' ' || k == n - 1) {
            if (!name.empty()) add(name, L"");
            i = k + 1;
            continue;
        }
        size_t start = k + 1;
        const wchar_t stop = t[start] == L'"' ? L'"' : L' ';
        if (stop == L'"') ++start;
        size_t e = start;
        while (e < n && t[e] != stop) ++e;
        if (!name.empty()) add(name, t.substr(start < n ? start : n, e - (start < n ? start : n)));
        if (e >= n) break;
        i = e + 1;
    }
    return m;
}

bool NaiveHas(const Options& m, std::wstring q, std::wstring* value) {
    if (q.empty()) return false;
    q = Lower(q);
    if (q[0] == L'-' || q[0] == L'/') q.erase(0, 1);
    if (!q.empty() && (q.back() == L' ' || q.back() == L':' || q.back() == L'=')) q.pop_back();
    if (q.empty()) return false;
    const Options::const_iterator it = m.find(q);
    if (it == m.end()) return false;
    *value = it->second;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::wstring text;
    for (size_t i = 0; i + 1 < size; i += 2) {
        const wchar_t unit = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
        if (unit == 0) break;
        text += unit;
    }
    const QVCommandLine parsed(text.c_str());
    const Options naive = Naive(text);
    if (Options(parsed.Options().begin(), parsed.Options().end()) != naive) abort();
    const std::wstring queries[] = {L"-update", L"/UPDATE:", L"update=", L"", L"-", text.substr(0, 8)};
    for (const std::wstring& q : queries) {
        std::wstring value;
        const bool has = NaiveHas(naive, q, &value);
        if (parsed.HasOption(q) != has) abort();
        if (parsed.GetOptionValue(q) != (has ? value : std::wstring())) abort();
    }
    return 0;
}
