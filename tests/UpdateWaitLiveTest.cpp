#include <windows.h>

#include <gtest/gtest.h>

#include "app/UpdateWaitWin32.h"
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

// Run from a copy under a name no other process has: beside it, another
// run of the test program would rightly count.
TEST(UpdateWaitLiveTest, OwnProcessIsNeverCounted) {
    if (::GetEnvironmentVariableW(L"QV_SNAPSHOT_COPY", NULL, 0) != 0) {
        EXPECT_FALSE(IsProcessRunning(OwnBaseName()));
        WriteBytes(L"checked", "1");  // in the folder the parent gave
        return;
    }
    TestFolder dir;
    wchar_t name[64];
    wsprintfW(name, L"QvSelf%lu.exe", ::GetCurrentProcessId());
    const std::wstring copy = dir / name;
    ASSERT_TRUE(::CopyFileW(OwnPath().c_str(), copy.c_str(), FALSE));
    std::wstring commandLine = L"\"" + copy + L"\" --gtest_filter=UpdateWaitLiveTest.OwnProcessIsNeverCounted";
    STARTUPINFOW startup;
    ::ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    ::SetEnvironmentVariableW(L"QV_SNAPSHOT_COPY", L"1");
    const BOOL started = ::CreateProcessW(copy.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL,
                                          dir.Path().c_str(), &startup, &process);
    ::SetEnvironmentVariableW(L"QV_SNAPSHOT_COPY", NULL);
    ASSERT_TRUE(started);
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(process.hProcess, 60000));
    DWORD code = 1;
    ::GetExitCodeProcess(process.hProcess, &code);
    EXPECT_EQ(0u, code);
    EXPECT_TRUE(Exists(dir / L"checked"));
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
}

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
