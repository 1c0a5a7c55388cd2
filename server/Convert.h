#ifndef QV_SERVER_CONVERT_H
#define QV_SERVER_CONVERT_H

#include <iconv.h>

#include <string>
#include <vector>

namespace Quorvel {

// Sole owner of one iconv conversion, from a code page to UTF-8 (or the
// other way). Not for two threads at once.
class QVIconv {
public:
    explicit QVIconv(const std::string& fromCodePage, const std::string& toCodePage = "UTF-8");
    ~QVIconv();
    QVIconv(const QVIconv&) = delete;
    QVIconv& operator=(const QVIconv&) = delete;

    bool valid() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
    // The whole text converted; false when a byte is not text of the code
    // page converted from, or a character has no form in the other.
    bool operator()(const std::string& in, std::string* out);

private:
    iconv_t m_cd;
    std::vector<char> m_buffer;  // kept from call to call
};

}  // namespace Quorvel

#endif
