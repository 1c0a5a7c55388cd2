#include <windows.h>

#include "app/CommandLine.h"
#include "app/InstallerWin32.h"
#include "app/InstanceLockWin32.h"
#include "app/UpdateWaitWin32.h"
#include "core/HandlesWin32.h"
#include "core/Shell.h"

namespace {

// Libraries loaded by name are looked up in the program's own folder first,
// where a downloaded installer may have company: search the system folder
// only. Vista without the update has no SetDefaultDllDirectories, and with
// it the restriction breaks the shell-link object there, so it is skipped.
void RestrictLibrarySearch() {
    OSVERSIONINFOW version;
    ::ZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    if (::GetVersionExW(&version) && version.dwMajorVersion == 6 && version.dwMinorVersion == 0) return;
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesFn)(DWORD);
    SetDefaultDllDirectoriesFn restrict =
        Quorvel::GetProc<SetDefaultDllDirectoriesFn>(::GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
    if (restrict != NULL) restrict(0x00000800 /* LOAD_LIBRARY_SEARCH_SYSTEM32 */);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    using namespace Quorvel;
    RestrictLibrarySearch();
    bool updateMode = false;
    {
        // The program's own path is no option, whatever its folder or file
        // name holds ("game-update (1).exe", "Z:\my games -update now\").
        const QVCommandLine commandLine(ArgumentsAfterProgram(::GetCommandLineW(), OwnModulePath()).c_str());
        QVInstanceLock lock(OwnGameLockName());
        if (commandLine.HasOption(L"-update")) {
            const std::wstring name = commandLine.GetOptionValue(L"-update");
            // Another copy may be installing this game and start it: an
            // update is not dropped but waits for both, then installs. The
            // lock is never held while the game runs: a run waiting for it
            // may be a process of the game's name.
            for (;;) {
                while (IsProcessRunning(name)) ::Sleep(1000);
                lock.Wait(false);
                if (!IsProcessRunning(name)) break;
                lock.Release();
            }
            updateMode = true;
        } else if (!lock.TryAcquire()) {
            // Another copy installs this game now: this one may be a newer
            // build, or the same started twice. It waits as long as the
            // other installs, installs after it and starts the client in
            // its place: the last build started is the one installed, and a
            // double click still starts the client once.
            lock.Wait(true);
        }
        QVInstaller installer;
        installer.SetInstanceLock(&lock);
        installer.Run(AppDataFolder(), updateMode);
    }
    return 0;
}
