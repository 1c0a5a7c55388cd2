#include <gtest/gtest.h>

#include "report/HttpLogic.h"

using namespace Quorvel;

namespace {

TEST(HttpLogicTest, ResponseLengthDecidesTheBuffer) {
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

TEST(HttpLogicTest, ChunksNeverPassTheBuffer) {
    EXPECT_EQ(4096u, NextChunk(10485760, 0));
    EXPECT_EQ(10u, NextChunk(10, 0));
    EXPECT_EQ(1u, NextChunk(4097, 4096));
    EXPECT_EQ(0u, NextChunk(10, 10));
    EXPECT_EQ(0u, NextChunk(10, 11));
}

}  // namespace
