#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "app/CommandLine.h"

using Quorvel::QVCommandLine;

namespace {

typedef std::vector<std::pair<std::wstring, std::wstring> > Entries;

struct ParseCase {
    const char* name;
    const wchar_t* text;
    Entries expected;
};

Entries MapOf(const QVCommandLine& c) { return Entries(c.Options().begin(), c.Options().end()); }

TEST(QVCommandLineTest, ParsesIntoOrderedNamesAndValues) {
    const ParseCase cases[] = {
        {"empty", L"", {}},
        {"path then option", L"\"C:\\Games\\setup.exe\" -update:game",
         {{L"\"C:\\Games\\setup.exe\"", L""}, {L"update", L"game"}}},
        {"hyphen inside the path starts an option", L"C:\\my-games\\setup.exe -update:x",
         {{L"C:\\my", L""}, {L"games\\setup.exe", L""}, {L"update", L"x"}}},
        {"unquoted value ends at a space", L"-update:My Game", {{L"Game", L""}, {L"update", L"My"}}},
        {"quoted value", L"-update:\"My Game\"", {{L"update", L"My Game"}}},
        {"unterminated quote takes the rest", L"-update:\"My Game", {{L"update", L"My Game"}}},
        {"option alone", L"-update", {{L"update", L""}}},
        {"option with colon at the end", L"-update:", {{L"update", L""}}},
        {"option with equals at the end", L"-update=", {{L"update", L""}}},
        {"name lowered", L"-UPDATE:X", {{L"update", L"X"}}},
        {"doubled hyphen", L"--update:x", {{L"-update", L"x"}}},
        {"first occurrence wins", L"-update:a -update:b", {{L"update", L"a"}}},
        {"loose text between options", L"-a update -b", {{L"a", L""}, {L"b", L""}, {L"update", L""}}},
        {"lone hyphen at the end", L"prog -", {{L"prog", L""}}},
        {"hyphen followed by spaces", L"-   ", {}},
        {"loose text keeps its case", L"prog Update", {{L"prog Update", L""}}},
        {"slash prefix and equals", L"/Update=v", {{L"update", L"v"}}},
        {"unquoted value keeps colons and slashes", L"-u:a:b/c=d", {{L"u", L"a:b/c=d"}}},
        {"quote only directly after the separator", L"-u:a\"b c\"", {{L"c\"", L""}, {L"u", L"a\"b"}}},
        {"only a quote after the colon", L"-u:\"", {{L"u", L""}}},
        {"empty name with value", L"-:v rest", {{L"rest", L""}}},
        {"tabs are not trimmed", L"\tprog\t -x", {{L"\tprog\t", L""}, {L"x", L""}}},
        {"non-ASCII kept, not lowered", L"-\x00C4pfel:\x00D6", {{L"\x00C4pfel", L"\x00D6"}}},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.expected, MapOf(QVCommandLine(c.text)));
    }
}

TEST(QVCommandLineTest, NullTextIsEmpty) { EXPECT_TRUE(QVCommandLine(nullptr).Options().empty()); }

TEST(QVCommandLineTest, LookupNormalisesTheQuery) {
    const QVCommandLine c(L"setup.exe -update:game Update");
    struct Query {
        const wchar_t* query;
        bool found;
    } queries[] = {
        {L"-update", true}, {L"/update", true}, {L"update", true}, {L"-UPDATE", true}, {L"-update:", true},
        {L"-update=", true}, {L"-update ", true}, {L"", false}, {L"-", false}, {L"-:", false},
        {L"--update", false}, {L"-update::", false}, {L"Update", true} /* lowered query finds "update" */,
        {L"setup.exe", true},
    };
    for (const Query& q : queries) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(q.query)));
        EXPECT_EQ(q.found, c.HasOption(q.query));
    }
    EXPECT_EQ(L"game", c.GetOptionValue(L"-update"));
    EXPECT_EQ(L"", c.GetOptionValue(L"-missing"));
}

TEST(QVCommandLineTest, LooseTextIsNotFoundByALoweredLookup) {
    const QVCommandLine c(L"prog Update");
    EXPECT_FALSE(c.HasOption(L"update"));
    EXPECT_FALSE(c.HasOption(L"prog Update"));  // the query is lowered, the stored loose text is not
}

TEST(QVCommandLineTest, OrderIsByUnsignedCodeUnits) {
    const QVCommandLine c(L"-b -a -ab -\x00E9 -B");
    const Entries expected = {{L"a", L""}, {L"ab", L""}, {L"b", L""}, {L"\x00E9", L""}};
    EXPECT_EQ(expected, MapOf(c));
}

TEST(QVCommandLineTest, ArgumentsStartAfterTheProgramsOwnPath) {
    const struct {
        const wchar_t* text;
        const wchar_t* arguments;
    } rows[] = {
        {L"\"C:\\my-games\\setup.exe\" -update:x", L"-update:x"},
        {L"C:\\my-games\\setup.exe -update:x", L"-update:x"},
        {L"\"C:\\Downloads\\\x661F-update (1).exe\"", L""},
        {L"C:\\game-update\\setup.exe", L""},
        {L"\"C:\\a b\\setup.exe\"\t \t-update:\"My Game\" -x", L"-update:\"My Game\" -x"},
        {L"\"unterminated -update:x", L""},
        {L"\"C:\\x.exe\"-update:y", L"-update:y"},  // the first token ends at its closing quote
        {L" -update:x", L"-update:x"},                  // an empty first token
        {L"", L""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(r.text)));
        EXPECT_EQ(std::wstring(r.arguments), Quorvel::ArgumentsAfterProgram(r.text));
    }
    EXPECT_EQ(std::wstring(), Quorvel::ArgumentsAfterProgram(nullptr));

    // Unquoted paths with blanks, from launchers that do not quote: the
    // program's own file says where its path ends.
    const std::wstring module = L"Z:\\My Games -update now\\setup.exe";
    const struct {
        const wchar_t* text;
        const wchar_t* arguments;
    } unquoted[] = {
        {L"Z:\\My Games -update now\\setup.exe", L""},
        {L"Z:\\My Games -update now\\setup.exe -update:game", L"-update:game"},
        {L"z:\\MY GAMES -UPDATE NOW\\SETUP.EXE\t-x", L"-x"},                 // letter case aside
        {L"My Games -update now\\setup -update:x", L"-update:x"},              // relative, no ".exe"
        {L"Z:\\MYGAME~1\\setup.exe -update:x", L"-update:x"},                // a short name: the first blank
        {L"games -update now\\setup.exe", L"-update now\\setup.exe"},       // not a whole part of the path
        {L"Z:\\My Games -update now\\setup.exe2 -x", L"Games -update now\\setup.exe2 -x"},
    };
    for (const auto& r : unquoted) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(r.text)));
        EXPECT_EQ(std::wstring(r.arguments), Quorvel::ArgumentsAfterProgram(r.text, module));
    }
    EXPECT_FALSE(QVCommandLine(Quorvel::ArgumentsAfterProgram(module.c_str(), module).c_str()).HasOption(L"-update"));
    // Quoted, the quotes decide.
    EXPECT_EQ(L"-update now\\setup.exe -a", Quorvel::ArgumentsAfterProgram(L"\"Z:\\My Games\" -update now\\setup.exe -a", module));
    // The path's own hyphen no longer reaches the parser.
    const QVCommandLine parsed(Quorvel::ArgumentsAfterProgram(L"C:\\x\\game-update (1).exe").c_str());
    EXPECT_FALSE(parsed.HasOption(L"-update"));
}

}  // namespace
