#include "server/Convert.h"

#include <vector>

namespace Quorvel {

QVIconv::QVIconv(const std::string& fromCodePage) : m_cd(iconv_open("UTF-8", fromCodePage.c_str())) {}

QVIconv::~QVIconv() {
    if (valid()) iconv_close(m_cd);
}

bool QVIconv::operator()(const std::string& in, std::string* out) {
    out->clear();
    if (!valid()) return false;
    if (in.empty()) return true;
    iconv(m_cd, NULL, NULL, NULL, NULL);  // a fresh shift state
    std::vector<char> buffer(in.size() * 4 + 4);  // every code page character is at most 4 bytes of UTF-8
    char* source = const_cast<char*>(in.data());
    size_t sourceLeft = in.size();
    char* target = &buffer[0];
    size_t targetLeft = buffer.size();
    if (iconv(m_cd, &source, &sourceLeft, &target, &targetLeft) == static_cast<size_t>(-1) || sourceLeft != 0) {
        return false;
    }
    out->assign(&buffer[0], static_cast<size_t>(target - &buffer[0]));
    return true;
}

}  // namespace Quorvel
