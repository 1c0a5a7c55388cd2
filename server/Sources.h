#ifndef QV_SERVER_SOURCES_H
#define QV_SERVER_SOURCES_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <unordered_map>
#include <vector>

namespace Quorvel {

// Where a report came from. peer: the TCP peer's address; forwardedFor:
// the request's X-Forwarded-For (all of its fields, comma-joined), heeded
// only from a trusted proxy. Behind trusted proxies the source is the last
// hop that no trusted proxy added: the address the nearest one of them saw.
// Addresses come back in one spelling (an IPv4 address mapped into IPv6 is
// the IPv4 address).
std::string SourceAddress(const std::string& peer, const std::string& forwardedFor,
                          const std::vector<std::string>& trusted);

// An address in one spelling ("[::1]" and "::ffff:10.0.0.1" as "::1" and
// "10.0.0.1"), or empty when it is none.
std::string CanonicalAddress(const std::string& text);

// --hash-sources: "h:" and 16 hexadecimal digits of a keyed hash (HMAC-MD5)
// of the address; one key per database, so every receiver hashes alike.
std::string HashSource(const std::string& key, const std::string& address);
bool IsHashedSource(const std::string& source);

struct QVSourceLimitOptions {
    double perMinute = 60;  // 0: no limits at all
    double burst = 120;
    int64_t dayCap = 10000;
};

// Per-source limits, on the public listener's thread. A source may send
// bursts up to burst and then perMinute a minute (a token bucket): reports
// beyond that are held (stored, counted only once released). Beyond dayCap
// a day they are refused. The buckets of quiet sources are forgotten, so
// memory follows the sources of the last minutes, not all of them; the day
// counts live in a fixed-size sketch that can only overcount, by a few
// reports in a day of millions.
// What a source's limits are kept for: an IPv4 address itself, an IPv6
// address's /64 ("2001:db8:0:1::/64"), since one customer of a provider
// holds a whole /64 (or more) and could otherwise be as many sources as it
// likes.
std::string LimitedAs(const std::string& address);

class QVSourceLimits {
public:
    enum Verdict { kCount, kHold, kRefuse };

    explicit QVSourceLimits(const QVSourceLimitOptions& options);
    // One report from an address at nowMs (a steady clock) on a local day,
    // limited as LimitedAs says.
    Verdict Take(const std::string& address, int64_t nowMs, const std::string& day);
    size_t Buckets() const { return m_buckets.size(); }

private:
    struct Bucket {
        double tokens;
        int64_t lastMs;
    };
    void Sweep(int64_t nowMs);

    const QVSourceLimitOptions m_options;
    std::unordered_map<std::string, Bucket> m_buckets;
    int64_t m_sweptMs;
    std::string m_day;
    std::vector<uint32_t> m_sketch;  // rows of counters, reset each day
};

}  // namespace Quorvel

#endif
