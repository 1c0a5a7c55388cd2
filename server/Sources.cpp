#include "server/Sources.h"

#include <string.h>

#include <algorithm>

#include <boost/asio/ip/address.hpp>

#include "report/Md5.h"

namespace Quorvel {

namespace {

const size_t kSketchRows = 4, kSketchWidth = 1 << 16;

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// FNV-1a with a seed per sketch row.
uint32_t Hash(const std::string& text, uint32_t seed) {
    uint32_t h = 2166136261u ^ (seed * 0x9e3779b9u);
    for (unsigned char c : text) {
        h ^= c;
        h *= 16777619u;
    }
    return h ^ (h >> 15);
}

}  // namespace

std::string CanonicalAddress(const std::string& text) {
    std::string bare = Trim(text);
    if (bare.size() >= 2 && bare.front() == '[' && bare.back() == ']') bare = bare.substr(1, bare.size() - 2);  // as in a URL
    boost::system::error_code ec;
    boost::asio::ip::address address = boost::asio::ip::make_address(bare, ec);
    if (ec) return std::string();
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        address = boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6());
    }
    return address.to_string();
}

std::string SourceAddress(const std::string& peer, const std::string& forwardedFor,
                          const std::vector<std::string>& trusted) {
    const auto isTrusted = [&trusted](const std::string& a) {
        return std::find(trusted.begin(), trusted.end(), a) != trusted.end();
    };
    std::string source = CanonicalAddress(peer);
    if (source.empty()) source = peer;
    if (!isTrusted(source)) return source;
    // Right to left: each trusted proxy added the hop before it.
    size_t end = forwardedFor.size();
    while (end > 0) {
        const size_t comma = forwardedFor.rfind(',', end - 1);
        const size_t start = comma == std::string::npos ? 0 : comma + 1;
        const std::string hop = CanonicalAddress(forwardedFor.substr(start, end - start));
        // A hop that is no address: the chain cannot be followed further.
        if (hop.empty()) return source;
        source = hop;
        if (!isTrusted(hop)) return source;
        if (comma == std::string::npos) break;
        end = comma;
    }
    return source;
}

std::string HashSource(const std::string& key, const std::string& address) {
    // HMAC (RFC 2104) over MD5, the one hash this program carries.
    unsigned char block[64] = {0};
    if (key.size() > sizeof(block)) {
        Md5Digest(key.data(), static_cast<long>(key.size()), block);
    } else {
        memcpy(block, key.data(), key.size());
    }
    unsigned char inner[64], outer[64], digest[16];
    for (size_t i = 0; i < 64; ++i) {
        inner[i] = block[i] ^ 0x36;
        outer[i] = block[i] ^ 0x5c;
    }
    QVMd5 first;
    first.Update(inner, sizeof(inner));
    first.Update(address.data(), address.size());
    first.Final(digest);
    QVMd5 second;
    second.Update(outer, sizeof(outer));
    second.Update(digest, sizeof(digest));
    second.Final(digest);
    static const char kHex[] = "0123456789abcdef";
    std::string out = "h:";
    for (size_t i = 0; i < 8; ++i) {
        out += kHex[digest[i] >> 4];
        out += kHex[digest[i] & 15];
    }
    return out;
}

bool IsHashedSource(const std::string& source) { return source.compare(0, 2, "h:") == 0; }

QVSourceLimits::QVSourceLimits(const QVSourceLimitOptions& options)
    : m_options(options), m_sweptMs(0), m_sketch(options.perMinute > 0 ? kSketchRows * kSketchWidth : 0, 0) {}

std::string LimitedAs(const std::string& source) {
    if (source.find(':') == std::string::npos) return source;  // IPv4, or a hash: no v6 text lacks a colon
    boost::system::error_code ec;
    const boost::asio::ip::address_v6 v6 = boost::asio::ip::make_address_v6(source, ec);
    if (ec) return source;
    boost::asio::ip::address_v6::bytes_type bytes = v6.to_bytes();
    std::fill(bytes.begin() + 8, bytes.end(), 0);
    return boost::asio::ip::address_v6(bytes).to_string() + "/64";
}

QVSourceLimits::Verdict QVSourceLimits::Take(const std::string& address, int64_t nowMs, const std::string& day) {
    if (m_options.perMinute <= 0) return kCount;
    const std::string source = LimitedAs(address);
    if (day != m_day) {
        m_day = day;
        std::fill(m_sketch.begin(), m_sketch.end(), 0);
    }
    // The day's count: the least of the source's counters, each moved on
    // only where it is that least (so that collisions overcount less).
    uint32_t* counters[kSketchRows];
    uint32_t least = UINT32_MAX;
    for (size_t r = 0; r < kSketchRows; ++r) {
        counters[r] = &m_sketch[r * kSketchWidth + Hash(source, static_cast<uint32_t>(r)) % kSketchWidth];
        least = std::min(least, *counters[r]);
    }
    for (uint32_t* c : counters) {
        if (*c == least && least < UINT32_MAX) ++*c;
    }
    if (static_cast<int64_t>(least) >= m_options.dayCap) return kRefuse;

    if (nowMs - m_sweptMs >= 10000) Sweep(nowMs);
    const double perMs = m_options.perMinute / 60000.0;
    auto found = m_buckets.find(source);
    if (found == m_buckets.end()) found = m_buckets.emplace(source, Bucket{m_options.burst, nowMs}).first;
    Bucket& b = found->second;
    b.tokens = std::min(m_options.burst, b.tokens + static_cast<double>(nowMs - b.lastMs) * perMs);
    b.lastMs = nowMs;
    if (b.tokens < 1) return kHold;
    b.tokens -= 1;
    return kCount;
}

void QVSourceLimits::Sweep(int64_t nowMs) {
    // A bucket that would be full again is the same as none.
    const double perMs = m_options.perMinute / 60000.0;
    for (auto it = m_buckets.begin(); it != m_buckets.end();) {
        const bool full = it->second.tokens + static_cast<double>(nowMs - it->second.lastMs) * perMs >= m_options.burst;
        it = full ? m_buckets.erase(it) : std::next(it);
    }
    m_sweptMs = nowMs;
}

}  // namespace Quorvel
