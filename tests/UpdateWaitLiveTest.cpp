#include <windows.h>

#include <gtest/gtest.h>

#include "app/UpdateWait.h"
#include "tests/TestFolder.h"

using namespace Quorvel;

namespace {

std::wstring OwnPath() {
    wchar_t path[MAX_PATH] = {0};
    ::GetModuleFileNameW(NULL, path, MAX_PATH - 1);
    return path;
}

std::wstring OwnBaseName() {
    std::wstring name = OwnPath();
    name = name.substr(name.rfind(L'\\') + 1);
    return name.substr(0, name.size() - 4);
}

TEST(UpdateWaitLiveTest, FindsOtherProcessesByExactImageName) {
    TestFolder dir;
    const std::wstring standIn = dir / L"QvStandIn.exe";
    ASSERT_TRUE(::CopyFileW(OwnPath().c_str(), standIn.c_str(), FALSE));
    STARTUPINFOW startup;
    ::ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    std::wstring commandLine = L"\"" + standIn + L"\"";
    // Suspended: it is in the snapshot under its name but runs nothing.
    ASSERT_TRUE(::CreateProcessW(standIn.c_str(), &commandLine[0], NULL, NULL, FALSE, CREATE_SUSPENDED, NULL,
                                 dir.Path().c_str(), &startup, &process));
    EXPECT_TRUE(IsProcessRunning(L"QvStandIn"));
    EXPECT_FALSE(IsProcessRunning(L"qvstandin"));      // letter case matters
    EXPECT_FALSE(IsProcessRunning(L"QvStandIn.exe"));  // target would be QvStandIn.exe.exe
    EXPECT_FALSE(IsProcessRunning(L""));
    EXPECT_FALSE(IsProcessRunning(std::wstring(300, L'Q')));
    ::TerminateProcess(process.hProcess, 0);
    ::WaitForSingleObject(process.hProcess, 10000);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    EXPECT_FALSE(IsProcessRunning(L"QvStandIn"));
}

TEST(UpdateWaitLiveTest, OwnProcessIsNeverCounted) { EXPECT_FALSE(IsProcessRunning(OwnBaseName())); }

TEST(UpdateWaitLiveTest, SnapshotEnumeratesOnlyProcessSnapshots) {
    boost::shared_ptr<QVProcessEntry> entry(new QVProcessEntry());
    EXPECT_EQ(sizeof(PROCESSENTRY32W), entry->Record().dwSize);
    ProcessSnapshot processes(TH32CS_SNAPPROCESS);
    EXPECT_TRUE(processes.First(entry));
    EXPECT_FALSE(processes.First(boost::shared_ptr<QVProcessEntry>()));
    ProcessSnapshot threads(TH32CS_SNAPTHREAD);
    EXPECT_FALSE(threads.First(entry));
    EXPECT_FALSE(threads.Next(entry));
}

}  // namespace
