#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/Sources.h"

using namespace Quorvel;

namespace {

TEST(SourcesTest, TheSourceIsThePeerOrTheHopTheNearestTrustedProxySaw) {
    const std::vector<std::string> trusted = {"10.0.0.1", "10.0.0.2"};
    const struct {
        const char *peer, *forwarded, *source;
    } rows[] = {
        {"198.51.100.4", "", "198.51.100.4"},
        {"198.51.100.4", "203.0.113.9", "198.51.100.4"},     // not a proxy of ours: its header is anyone's
        {"::ffff:198.51.100.4", "", "198.51.100.4"},         // one spelling
        {"10.0.0.1", "203.0.113.9", "203.0.113.9"},
        {"10.0.0.1", "1.2.3.4, 203.0.113.9", "203.0.113.9"}, // the client may write hops of its own
        {"10.0.0.1", "1.2.3.4, 203.0.113.9, 10.0.0.2", "203.0.113.9"},
        {"10.0.0.1", "10.0.0.2", "10.0.0.2"},                // nothing but proxies
        {"10.0.0.1", "", "10.0.0.1"},
        {"10.0.0.1", "1.2.3.4, not-an-address", "10.0.0.1"},
        {"10.0.0.1", " 2001:db8::7 ", "2001:db8::7"},
        {"10.0.0.1", "[2001:db8::8]", "2001:db8::8"},          // as a URL writes it
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.peer) + " / " + row.forwarded);
        EXPECT_EQ(row.source, SourceAddress(row.peer, row.forwarded, trusted));
    }
}

TEST(SourcesTest, AHashedSourceIsAKeyedHash) {
    // RFC 2202's first HMAC-MD5 case.
    EXPECT_EQ("h:9294727a3638bb1c", HashSource(std::string(16, '\x0b'), "Hi There"));
    const std::string key = "4a1f00aa";
    EXPECT_EQ(HashSource(key, "198.51.100.4"), HashSource(key, "198.51.100.4"));
    EXPECT_NE(HashSource(key, "198.51.100.4"), HashSource(key, "198.51.100.5"));
    EXPECT_NE(HashSource(key, "198.51.100.4"), HashSource("another", "198.51.100.4"));
    EXPECT_TRUE(IsHashedSource(HashSource(key, "x")));
    EXPECT_FALSE(IsHashedSource("198.51.100.4"));
}

TEST(SourcesTest, ABurstThenTheRateAreCountedTheRestHeldAndBeyondTheDayRefused) {
    QVSourceLimitOptions options;
    options.perMinute = 60;
    options.burst = 5;
    options.dayCap = 20;
    QVSourceLimits limits(options);
    int64_t now = 1000000;
    std::vector<QVSourceLimits::Verdict> first;
    for (int i = 0; i < 7; ++i) first.push_back(limits.Take("a", now, "2026-12-09"));
    EXPECT_EQ(std::vector<QVSourceLimits::Verdict>({QVSourceLimits::kCount, QVSourceLimits::kCount,
                                                    QVSourceLimits::kCount, QVSourceLimits::kCount,
                                                    QVSourceLimits::kCount, QVSourceLimits::kHold,
                                                    QVSourceLimits::kHold}),
              first);
    EXPECT_EQ(QVSourceLimits::kCount, limits.Take("b", now, "2026-12-09"));  // each source its own
    // An IPv6 customer's /64 is one source, however many addresses it uses.
    EXPECT_EQ("2001:db8:0:1::/64", LimitedAs("2001:db8:0:1:a:b:c:d"));
    EXPECT_EQ("192.0.2.7", LimitedAs("192.0.2.7"));
    std::vector<QVSourceLimits::Verdict> v6;
    for (int i = 1; i <= 6; ++i) v6.push_back(limits.Take("2001:db8:0:1::" + std::to_string(i), now, "2026-12-09"));
    EXPECT_EQ(QVSourceLimits::kHold, v6.back());
    EXPECT_EQ(QVSourceLimits::kCount, limits.Take("2001:db8:0:2::1", now, "2026-12-09"));  // the next /64
    now += 2000;  // a report a second comes back
    EXPECT_EQ(QVSourceLimits::kCount, limits.Take("a", now, "2026-12-09"));
    EXPECT_EQ(QVSourceLimits::kCount, limits.Take("a", now, "2026-12-09"));
    EXPECT_EQ(QVSourceLimits::kHold, limits.Take("a", now, "2026-12-09"));
    // Ten reports so far; the day's cap is reached at twenty, held or not.
    for (int i = 0; i < 10; ++i) limits.Take("a", now += 1000, "2026-12-09");
    EXPECT_EQ(QVSourceLimits::kRefuse, limits.Take("a", now += 60000, "2026-12-09"));
    EXPECT_EQ(QVSourceLimits::kCount, limits.Take("a", now, "2026-12-10"));  // a new day
    // Quiet sources are forgotten.
    for (int i = 0; i < 1000; ++i) limits.Take("quiet" + std::to_string(i), now, "2026-12-10");
    limits.Take("a", now += 60000, "2026-12-10");
    EXPECT_LE(limits.Buckets(), 1u);
    options.perMinute = 0;
    QVSourceLimits off(options);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(QVSourceLimits::kCount, off.Take("a", now, "2026-12-10"));
}

}  // namespace
