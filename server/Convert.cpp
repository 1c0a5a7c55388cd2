#include "server/Convert.h"


namespace Quorvel {

QVIconv::QVIconv(const std::string& fromCodePage, const std::string& toCodePage)
    : m_cd(iconv_open(toCodePage.c_str(), fromCodePage.c_str())) {}

QVIconv::~QVIconv() {
    if (valid()) iconv_close(m_cd);
}

bool QVIconv::operator()(const std::string& in, std::string* out) {
    out->clear();
    if (!valid()) return false;
    if (in.empty()) return true;
    iconv(m_cd, NULL, NULL, NULL, NULL);  // a fresh shift state
    // Every character is at most 4 bytes in either; a shift state's reset
    // adds a few.
    if (m_buffer.size() < in.size() * 4 + 8) m_buffer.resize(in.size() * 4 + 8);
    char* source = const_cast<char*>(in.data());
    size_t sourceLeft = in.size();
    char* target = &m_buffer[0];
    size_t targetLeft = m_buffer.size();
    if (iconv(m_cd, &source, &sourceLeft, &target, &targetLeft) == static_cast<size_t>(-1) || sourceLeft != 0 ||
        iconv(m_cd, NULL, NULL, &target, &targetLeft) == static_cast<size_t>(-1)) {
        return false;
    }
    out->assign(&m_buffer[0], static_cast<size_t>(target - &m_buffer[0]));
    return true;
}

}  // namespace Quorvel
