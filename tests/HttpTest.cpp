#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "report/Http.h"

using namespace Quorvel;

namespace {

TEST(HttpTest, ResponseLengthDecidesTheBuffer) {
    const struct {
        const char* name;
        bool found;
        uint32_t length;
        uint32_t error;
        bool ok;
        uint32_t expected;
        bool known;
    } rows[] = {
        {"known length", true, 10, 0, true, 10, true},
        {"length 0 ends the exchange", true, 0, 0, false, 0, false},
        {"length at the capacity", true, 10485760, 0, true, 10485760, true},
        {"length above the capacity", true, 10485761, 0, false, 0, false},
        {"4294967295 would wrap L + 1 to 0", true, 0xFFFFFFFFu, 0, false, 0, false},
        {"no length: open mode at the capacity", false, 0, 12150, true, 10485760, false},
        {"other query error", false, 0, 12153, false, 0, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QVResponsePlan plan = {0, false};
        EXPECT_EQ(row.ok, PlanResponse(row.found, row.length, row.error, &plan));
        if (row.ok) {
            EXPECT_EQ(row.expected, plan.expected);
            EXPECT_EQ(row.known, plan.knownLength);
            EXPECT_GT(plan.expected + 1, plan.expected);  // the terminator fits
        }
    }
}

TEST(HttpTest, ChunksNeverPassTheBuffer) {
    EXPECT_EQ(4096u, NextChunk(10485760, 0));
    EXPECT_EQ(10u, NextChunk(10, 0));
    EXPECT_EQ(1u, NextChunk(4097, 4096));
    EXPECT_EQ(0u, NextChunk(10, 10));
    EXPECT_EQ(0u, NextChunk(10, 11));
}

}  // namespace

namespace {

// A scripted response: each step is what one read delivers (-1 an error,
// 0 nothing); after the script, reads deliver nothing.
struct ScriptedSource {
    std::vector<int> steps;
    size_t next = 0;
    int pauses = 0;
    int expireAfterReads = -1;
    int reads = 0;
    uint32_t Available() { return 0; }
    int Read(unsigned char* destination, uint32_t size) {
        ++reads;
        const int n = next < steps.size() ? steps[next++] : 0;
        if (n > 0) memset(destination, 'x', static_cast<size_t>(n) < size ? n : size);
        return n;
    }
    bool Expired() const { return expireAfterReads >= 0 && reads >= expireAfterReads; }
    void Pause() { ++pauses; }
};

TEST(HttpTest, ReadsTheBodyByTheRules) {
    const struct {
        const char* name;
        uint32_t expected;
        bool known;
        std::vector<int> steps;
        int expireAfterReads;
        bool ok;
        uint32_t received;
    } rows[] = {
        {"known length arrives whole", 10, true, {4, 6}, -1, true, 10},
        {"known length cut short", 100, true, {9}, -1, false, 9},
        {"three empty reads are tolerated", 5, true, {0, 0, 0, 5}, -1, true, 5},
        {"the fourth empty read ends it", 5, true, {0, 0, 0, 0, 5}, -1, false, 0},
        {"empty reads are never forgiven", 6, true, {0, 3, 0, 0, 0, 3}, -1, false, 3},
        {"read error with known length", 5, true, {2, -1}, -1, false, 2},
        {"open length ends at the end of data", 10485760, false, {10, 0}, -1, true, 10},
        {"open length keeps what came before an error", 10485760, false, {7, -1}, -1, true, 7},
        {"deadline", 10485760, false, {1, 1, 1, 1}, 2, false, 2},
        {"a source claiming more than asked", 4, true, {4096}, -1, false, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedSource source;
        source.steps = row.steps;
        source.expireAfterReads = row.expireAfterReads;
        const QVResponsePlan plan = {row.expected, row.known};
        std::vector<unsigned char> buffer(row.expected + 1, 0);
        uint32_t received = 0;
        EXPECT_EQ(row.ok, ReadResponseBody(plan, buffer.data(), source, &received));
        EXPECT_EQ(row.received, received);
        EXPECT_EQ(0, buffer[row.expected]);
    }
}

}  // namespace
