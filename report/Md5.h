#ifndef QV_REPORT_MD5_H
#define QV_REPORT_MD5_H

#include <stddef.h>
#include <stdint.h>
#include <string>

namespace Quorvel {

// MD5 of RFC 1321 as a streaming context.
class QVMd5 {
public:
    QVMd5();
    void Update(const void* data, size_t length);
    void Final(unsigned char digest[16]);

private:
    void Block(const unsigned char block[64]);

    uint32_t m_state[4];
    uint64_t m_length;  // bytes so far
    unsigned char m_pending[64];
    size_t m_pendingLength;
};

// The digest of length bytes; 16 zero bytes for no data (null or length 0).
void Md5Digest(const void* data, long length, unsigned char digest[16]);
// The digest as 32 upper-case hexadecimal digits; 32 zeros for no data.
std::wstring Md5Hex(const void* data, long length, unsigned char digest[16]);

}  // namespace Quorvel

#endif
