#include <gtest/gtest.h>

#include "report/Report.h"
#include "tests/ReportVectors.h"

using namespace Quorvel;

namespace {

TEST(ReportTest, SignaturesOfTheSharedVectors) {
    for (const QVSigningVector& v : kSigningVectors) {
        SCOPED_TRACE(testing::PrintToString(std::string(v.gameId) + "|" + v.guid + "|" + v.time));
        EXPECT_EQ(v.sign, SignatureOf(SigningBytes(v.gameId, v.guid, v.time, DefaultSigningKey())));
    }
    EXPECT_EQ("pR4vNd8sYk", DefaultSigningKey());
    // Only the three fields and the key are signed, with nothing between.
    EXPECT_EQ(SigningBytes("3a", "bc", "1", "k"), SigningBytes("3", "abc", "1", "k"));
}

TEST(ReportTest, FieldsInBodyOrder) {
    const std::string expected[] = {"game_id", "version", "guid", "time", "sign", "osmajor", "osminor", "system", "flash"};
    for (int i = 0; i < kReportFieldCount; ++i) EXPECT_EQ(expected[i], kReportFields[i]);
}

}  // namespace
