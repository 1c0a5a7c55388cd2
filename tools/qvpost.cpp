// qvpost HOST PATH BODY: one HttpPost, then prints what came back:
//   result=0|1 length=N capacity=N zero_after=0|1 ms=N head=<first bytes in hex>
// "-" as BODY posts an empty body. Used against the test listener.
#include <windows.h>

#include "report/HttpWin32.h"
#include "tools/ToolOutput.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) return 2;
    const std::wstring body = std::wstring(argv[3]) == L"-" ? std::wstring() : std::wstring(argv[3]);
    Quorvel::QVBuffer<unsigned char> response;
    uint32_t length = 0xFFFFFFFFu;
    const DWORD started = ::GetTickCount();
    const bool ok = Quorvel::HttpPost(argv[1], argv[2], body, response, &length);
    const DWORD elapsed = ::GetTickCount() - started;
    std::wstring head;
    if (ok) {
        static const wchar_t kDigits[] = L"0123456789abcdef";
        for (uint32_t i = 0; i < length && i < 8; ++i) {
            head += kDigits[response.Data()[i] >> 4];
            head += kDigits[response.Data()[i] & 0xF];
        }
    }
    const bool zeroAfter = ok && response.Count() > length && response.Data()[length] == 0;
    PrintUtf8(L"result=" + Number(ok ? 1 : 0) + L" length=" + (ok ? Number(length) : std::wstring(L"-")) +
              L" capacity=" + Number(response.Count()) + L" zero_after=" + Number(zeroAfter ? 1 : 0) + L" ms=" +
              Number(elapsed) + L" head=" + head + L"\n");
    return 0;
}
