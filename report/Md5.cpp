#include "report/Md5.h"

#include <string.h>

namespace Quorvel {

namespace {

uint32_t Rotate(uint32_t x, int c) { return (x << c) | (x >> (32 - c)); }

const uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

const int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 5, 9,  14, 20, 5, 9,
                        14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                        4, 11, 16, 23, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

}  // namespace

QVMd5::QVMd5() : m_length(0), m_pendingLength(0) {
    m_state[0] = 0x67452301;
    m_state[1] = 0xefcdab89;
    m_state[2] = 0x98badcfe;
    m_state[3] = 0x10325476;
}

void QVMd5::Block(const unsigned char* p) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i) {
        w[i] = static_cast<uint32_t>(p[4 * i]) | (static_cast<uint32_t>(p[4 * i + 1]) << 8) |
               (static_cast<uint32_t>(p[4 * i + 2]) << 16) | (static_cast<uint32_t>(p[4 * i + 3]) << 24);
    }
    uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];
    for (int i = 0; i < 64; ++i) {
        uint32_t f;
        int g;
        if (i < 16) { f = (b & c) | (~b & d); g = i; }
        else if (i < 32) { f = (d & b) | (~d & c); g = (5 * i + 1) % 16; }
        else if (i < 48) { f = b ^ c ^ d; g = (3 * i + 5) % 16; }
        else { f = c ^ (b | ~d); g = (7 * i) % 16; }
        const uint32_t next = d;
        d = c;
        c = b;
        b = b + Rotate(a + f + kSine[i] + w[g], kShift[i]);
        a = next;
    }
    m_state[0] += a;
    m_state[1] += b;
    m_state[2] += c;
    m_state[3] += d;
}

void QVMd5::Update(const void* data, size_t length) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    m_length += length;
    if (m_pendingLength > 0) {
        const size_t take = length < 64 - m_pendingLength ? length : 64 - m_pendingLength;
        memcpy(m_pending + m_pendingLength, p, take);
        m_pendingLength += take;
        p += take;
        length -= take;
        if (m_pendingLength < 64) return;
        Block(m_pending);
        m_pendingLength = 0;
    }
    for (; length >= 64; p += 64, length -= 64) Block(p);
    memcpy(m_pending, p, length);
    m_pendingLength = length;
}

void QVMd5::Final(unsigned char digest[16]) {
    const uint64_t bits = m_length * 8;
    unsigned char padding[72] = {0x80};
    const size_t padLength = (m_pendingLength < 56 ? 56 : 120) - m_pendingLength;
    unsigned char lengthBytes[8];
    for (int i = 0; i < 8; ++i) lengthBytes[i] = static_cast<unsigned char>(bits >> (8 * i));
    Update(padding, padLength);
    Update(lengthBytes, 8);
    for (int i = 0; i < 4; ++i) {
        for (int k = 0; k < 4; ++k) digest[4 * i + k] = static_cast<unsigned char>(m_state[i] >> (8 * k));
    }
}

void Md5Digest(const void* data, long length, unsigned char digest[16]) {
    memset(digest, 0, 16);
    if (data == 0 || length < 1) return;
    QVMd5 md5;
    md5.Update(data, static_cast<size_t>(length));
    md5.Final(digest);
}

std::wstring Md5Hex(const void* data, long length, unsigned char digest[16]) {
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    Md5Digest(data, length, digest);
    std::wstring hex;
    for (int i = 0; i < 16; ++i) {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 0xF];
    }
    return hex;
}

}  // namespace Quorvel
