#ifndef QV_APP_COMMANDLINE_H
#define QV_APP_COMMANDLINE_H

#include <string>
#include <utility>
#include <vector>

namespace Quorvel {

// Option names and values, ordered by name (UTF-16 code units, unsigned),
// each name once. A sorted array: the installer's few options need no tree,
// and the tree's code would be most of a page.
typedef std::vector<std::pair<std::wstring, std::wstring> > QVOptionMap;

// The whole command-line text parsed into option names and values. Names
// given with "-" or "/" are lowered (ASCII only); loose text is kept as
// written. The first occurrence of a name wins. Never fails.
class QVCommandLine {
public:
    explicit QVCommandLine(const wchar_t* text);

    bool HasOption(const std::wstring& name) const;
    // Empty when the option is absent or has no value.
    std::wstring GetOptionValue(const std::wstring& name) const;

    const QVOptionMap& Options() const { return m_options; }

private:
    void Parse(const std::wstring& text);
    void Store(const std::wstring& name, const std::wstring& value);
    bool Find(const std::wstring& query, std::wstring* value) const;

    QVOptionMap m_options;
};

// ASCII-only lowering: other characters are left as they are.
std::wstring LowerAscii(const std::wstring& text);

// What follows the program's own path on a command line, split off as
// Windows splits its first token: up to the closing quote when it starts
// with one, else up to the first space or tab; the blanks after it are
// dropped too. An unquoted path may hold blanks ("Z:\my games -update
// now\setup.exe", from a launcher that does not quote): it then ends at the
// first blank before which the text names modulePath, the program's own
// file (the same path or its end, ".exe" optional, ASCII letter case
// aside). Empty for a null text or a path alone.
std::wstring ArgumentsAfterProgram(const wchar_t* commandLine, const std::wstring& modulePath = std::wstring());

}  // namespace Quorvel

#endif
