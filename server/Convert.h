#ifndef QV_SERVER_CONVERT_H
#define QV_SERVER_CONVERT_H

#include <iconv.h>

#include <string>

namespace Quorvel {

// Sole owner of one iconv conversion, from a code page to UTF-8. Not for
// two threads at once.
class QVIconv {
public:
    explicit QVIconv(const std::string& fromCodePage);
    ~QVIconv();
    QVIconv(const QVIconv&) = delete;
    QVIconv& operator=(const QVIconv&) = delete;

    bool valid() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
    // The whole text in UTF-8; false when a byte is not text of the code page.
    bool operator()(const std::string& in, std::string* out);

private:
    iconv_t m_cd;
};

}  // namespace Quorvel

#endif
