#include <windows.h>

#include "app/CommandLine.h"
#include "app/Installer.h"
#include "app/Shell.h"
#include "app/UpdateWait.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    using namespace Quorvel;
    bool updateMode = false;
    {
        const QVCommandLine commandLine(::GetCommandLineW());
        if (commandLine.HasOption(L"-update")) {
            const std::wstring name = commandLine.GetOptionValue(L"-update");
            while (IsProcessRunning(name)) ::Sleep(1000);
            updateMode = true;
        }
        QVInstaller installer;
        installer.Run(AppDataFolder(), updateMode);
    }
    return 0;
}
