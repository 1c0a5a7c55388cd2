// qvreport SETTINGS RUNS: times, in one process, the whole usage report
// (probes included, posted to 127.0.0.1) against posting an equal body
// without the probes. Prints medians.
#include <windows.h>

#include <algorithm>
#include <vector>

#include "report/HttpWin32.h"
#include "report/Report.h"
#include "tools/ToolOutput.h"

namespace {

double Now() {
    LARGE_INTEGER t, f;
    ::QueryPerformanceCounter(&t);
    ::QueryPerformanceFrequency(&f);
    return static_cast<double>(t.QuadPart) / static_cast<double>(f.QuadPart);
}

unsigned long Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return static_cast<unsigned long>(v[v.size() / 2] * 1000000.0);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    const int runs = _wtoi(argv[2]);
    std::vector<double> full, bare;
    const std::wstring body(180, L'x');
    for (int i = 0; i < runs; ++i) {
        double t0 = Now();
        Quorvel::PostUsageReport(Quorvel::ReadReportedGame(argv[1]), L"127.0.0.1");
        full.push_back(Now() - t0);
        t0 = Now();
        Quorvel::QVBuffer<unsigned char> response;
        uint32_t length = 0;
        Quorvel::HttpPost(L"127.0.0.1", L"micro_stats", body, response, &length);
        bare.push_back(Now() - t0);
    }
    // The first run pays for loading COM, WMI and WinINet, as an installer's
    // only report does.
    PrintUtf8(L"report with probes: " + Number(Median(full)) + L" us\npost alone: " + Number(Median(bare)) +
              L" us\nfirst report: " + Number(static_cast<unsigned long>(full[0] * 1000000.0)) + L" us\n");
    return 0;
}
