#include <gtest/gtest.h>

#include <string>

#include "report/Report.h"
#include "server/Convert.h"
#include "server/Intake.h"
#include "tests/ReportVectors.h"

using namespace Quorvel;

namespace {

const std::string kKey = "pR4vNd8sYk";

std::string Sign(const std::string& gameId, const std::string& guid, const std::string& time) {
    return SignatureOf(SigningBytes(gameId, guid, time, kKey));
}

std::string Body(const std::string& gameId, const std::string& guid, const std::string& time, const std::string& system,
                 const std::string& sign = "") {
    return "game_id=" + gameId + "&version=1.0.0.0&guid=" + guid + "&time=" + time +
           "&sign=" + (sign.empty() ? Sign(gameId, guid, time) : sign) + "&osmajor=6&osminor=1&system=" + system +
           "&flash=Adobe Flash Player 11 ActiveX";
}

struct Utf8Of936 {
    QVIconv iconv{"GBK"};
    bool operator()(const std::string& in, std::string* out) { return iconv(in, out); }
};

TEST(IntakeTest, TakesInTheInstallersBody) {
    const struct {
        const char* name;
        std::string body;
        QVIntakeVerdict verdict;
    } rows[] = {
        {"plain", Body("3", "0a1b2c3d4e5f20100101080000", "1796795383", "Microsoft Windows 7"), kIntakeAccepted},
        {"& and = inside system", Body("3", "g", "1", "Windows 7 (Service Pack 1) & x=y &guid=z"), kIntakeAccepted},
        {"&flash= inside system", Body("3", "g", "1", "a&flash=b"), kIntakeAccepted},
        {"CJK id and system in GBK", Body("\xD0\xC7\xB3\xBD", "g", "1", "\xC6\xEC\xBD\xA2\xB0\xE6"), kIntakeAccepted},
        {"empty game_id", Body("", "g", "1", "s"), kIntakeMalformed},
        {"negative time", Body("3", "g", "-5", "s"), kIntakeAccepted},
        {"time 0", Body("3", "g", "0", "s"), kIntakeAccepted},
        {"lower-case sign", Body("3", "g", "1", "s", [] {
             std::string s = Sign("3", "g", "1");
             for (char& c : s) c = static_cast<char>(tolower(c));
             return s;
         }()), kIntakeBadSignature},
        {"one digit changed", Body("3", "g", "1", "s", [] {
             std::string s = Sign("3", "g", "1");
             s[31] = s[31] == '0' ? '1' : '0';
             return s;
         }()), kIntakeBadSignature},
        {"another key", Body("3", "g", "1", "s", SignatureOf(SigningBytes("3", "g", "1", "other"))), kIntakeBadSignature},
        {"empty guid", Body("3", "", "1", "s"), kIntakeMalformed},
        {"time not digits", Body("3", "g", "1x", "s"), kIntakeMalformed},
        {"time too long", Body("3", "g", std::string(20, '1'), "s"), kIntakeMalformed},
        {"sign too short", Body("3", "g", "1", "s", "ABC"), kIntakeMalformed},
        {"sign not hex", Body("3", "g", "1", "s", std::string(32, 'G')), kIntakeMalformed},
        {"missing field", "game_id=3&version=1&guid=g&time=1&sign=" + Sign("3", "g", "1") + "&osmajor=6&system=s&flash=",
         kIntakeMalformed},
        {"repeated field", "game_id=3&version=1&guid=g&guid=h&time=1&sign=" + Sign("3", "g&guid=h", "1") +
                               "&osmajor=6&osminor=1&system=s&flash=", kIntakeMalformed},
        {"reordered fields", "game_id=3&guid=g&version=1&time=1&sign=" + Sign("3", "g", "1") +
                                 "&osmajor=6&osminor=1&system=s&flash=", kIntakeMalformed},
        {"not starting with game_id", "x=1&" + Body("3", "g", "1", "s"), kIntakeMalformed},
        {"empty", "", kIntakeMalformed},
        {"bytes no code page 936 text", Body("\xFF\xFF", "g", "1", "s"), kIntakeBadText},
        {"a NUL in system", Body("3", "g", "1", std::string("a\0b", 3)), kIntakeBadText},
        // 260 characters the installer can send (GBK: two bytes each), one
        // more it cannot.
        {"system of 260 CJK characters", Body("3", "g", "1", [] {
             std::string s;
             for (int i = 0; i < 260; ++i) s += "\xC6\xEC";
             return s;
         }()), kIntakeAccepted},
        {"system of 261 characters", Body("3", "g", "1", std::string(261, 's')), kIntakeBadText},
        {"game_id of 261 characters", Body(std::string(261, '3'), "g", "1", "s"), kIntakeBadText},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Utf8Of936 toUtf8;
        QVReportFields fields;
        EXPECT_EQ(row.verdict, TakeIn(row.body, kKey, toUtf8, &fields));
    }
}

TEST(IntakeTest, ATimeIsWrittenOneWayOnly) {
    const struct {
        const char* time;
        bool valid;
    } rows[] = {
        {"1", true},     {"1796795383", true}, {"0", true}, {"-1", true},
        {"9223372036854775807", true}, {"-9223372036854775808", true},
        {"01", false},   {"00", false},        {"-0", false}, {"-01", false}, {"+1", false}, {"", false}, {"-", false},
        {"9223372036854775808", false}, {"-9223372036854775809", false}, {"10000000000000000000", false},
        {" 1", false},   {"1 ", false},
    };
    for (const auto& row : rows) EXPECT_EQ(row.valid, IsInstallerTime(row.time)) << "\"" << row.time << "\"";
}

TEST(IntakeTest, FieldsAreSplitAtTheMarkersOnlyAndConvertedAfterTheCheck) {
    Utf8Of936 toUtf8;
    QVReportFields f;
    const std::string body = Body("\xD0\xC7\xB3\xBD", "0a1b  S3RIAL  2010", "1796795383",
                                  "Microsoft Windows 7 (Service Pack 1) & x=y \xC6\xEC\xBD\xA2\xB0\xE6");
    ASSERT_EQ(kIntakeAccepted, TakeIn(body, kKey, toUtf8, &f));
    EXPECT_EQ("\xE6\x98\x9F\xE8\xBE\xB0", f.gameId);  // UTF-8, once verified on the raw bytes
    EXPECT_EQ("1.0.0.0", f.version);
    EXPECT_EQ("0a1b  S3RIAL  2010", f.guid);
    EXPECT_EQ("1796795383", f.time);
    EXPECT_EQ("6", f.osMajor);
    EXPECT_EQ("1", f.osMinor);
    EXPECT_EQ("Microsoft Windows 7 (Service Pack 1) & x=y \xE6\x97\x97\xE8\x88\xB0\xE7\x89\x88", f.system);
    EXPECT_EQ("Adobe Flash Player 11 ActiveX", f.flash);
}

// The fields as stored give the body back byte for byte, GBK texts and
// all, so that a report is kept once: its signature verifies again.
TEST(IntakeTest, StoredFieldsGiveTheBodyBack) {
    QVIconv toGbk("UTF-8", "GBK");
    int rebuilt = 0;
    for (const QVSigningVector& v : kSigningVectors) {
        SCOPED_TRACE(v.sign);
        const std::string body = "game_id=" + std::string(v.gameId) + "&version=1.0.3.12&guid=" + v.guid + "&time=" +
                                 v.time + "&sign=" + v.sign + "&osmajor=6&osminor=1&system=Microsoft Windows 7 "
                                 "\xC6\xEC\xBD\xA2\xB0\xE6 (Service Pack 1) & x=y&flash=\xCE\xDE";
        Utf8Of936 toUtf8;
        QVReportFields f;
        if (TakeIn(body, kKey, toUtf8, &f) != kIntakeAccepted) continue;  // a vector of no report (an empty id)
        ++rebuilt;
        EXPECT_EQ(body, RebuildBody(f, toGbk));
        QVReportFields again;
        EXPECT_EQ(kIntakeAccepted, TakeIn(RebuildBody(f, toGbk), kKey, toUtf8, &again));
    }
    EXPECT_EQ(4, rebuilt);  // all but the key alone
    // Numbers the installer would not write ("06") do not come back: such a
    // body is kept whole.
    Utf8Of936 toUtf8;
    QVReportFields f;
    ASSERT_EQ(kIntakeAccepted, TakeIn(Body("3", "g", "1", "s"), kKey, toUtf8, &f));
    f.osMajor = "06";
    EXPECT_NE(Body("3", "g", "1", "s"), RebuildBody(f, toGbk));
}

TEST(IntakeTest, SharedVectorsVerify) {
    for (const QVSigningVector& v : kSigningVectors) {
        SCOPED_TRACE(v.sign);
        QVReportFields f;
        f.gameId = v.gameId;
        f.guid = v.guid;
        f.time = v.time;
        f.sign = v.sign;
        EXPECT_TRUE(HasValidSignature(f, kKey));
        f.sign[0] = f.sign[0] == 'A' ? 'B' : 'A';
        EXPECT_FALSE(HasValidSignature(f, kKey));
    }
}

}  // namespace
