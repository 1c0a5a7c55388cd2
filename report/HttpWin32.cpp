#include "report/HttpWin32.h"

#include <string.h>

#include "core/Text.h"
#include "report/Http.h"

namespace Quorvel {

QVWinInet::QVWinInet() : library(LoadSystemLibrary(L"wininet.dll")) {
    HMODULE m = library.get();
    open = GetProc<decltype(open)>(m, "InternetOpenW");
    connect = GetProc<decltype(connect)>(m, "InternetConnectW");
    openRequest = GetProc<decltype(openRequest)>(m, "HttpOpenRequestW");
    setOption = GetProc<decltype(setOption)>(m, "InternetSetOptionW");
    sendRequest = GetProc<decltype(sendRequest)>(m, "HttpSendRequestW");
    queryInfo = GetProc<decltype(queryInfo)>(m, "HttpQueryInfoW");
    readFile = GetProc<decltype(readFile)>(m, "InternetReadFile");
    queryDataAvailable = GetProc<decltype(queryDataAvailable)>(m, "InternetQueryDataAvailable");
    closeHandle = GetProc<decltype(closeHandle)>(m, "InternetCloseHandle");
}

bool QVWinInet::Complete() const {
    return open && connect && openRequest && setOption && sendRequest && queryInfo && readFile &&
           queryDataAvailable && closeHandle;
}

void QVHttpHandles::Close() {
    request.reset();
    connection.reset();
    session.reset();
}

namespace {

const DWORD kTimeouts[] = {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                           INTERNET_OPTION_RECEIVE_TIMEOUT};

bool SetTimeouts(const QVWinInet& api, HINTERNET handle) {
    for (unsigned i = 0; i < sizeof(kTimeouts) / sizeof(kTimeouts[0]); ++i) {
        DWORD timeout = 2000;
        if (!api.setOption(handle, kTimeouts[i], &timeout, sizeof(timeout))) return false;
    }
    return true;
}

}  // namespace

void OpenAndSendRequest(const std::wstring& host, const std::wstring& path, const wchar_t* body, size_t bodyLength,
                        QVHttpHandles& handles) {
    const QVWinInet& api = handles.Api();
    if (!api.Complete()) return;
    handles.session.reset(api.open(NULL, INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0));
    if (!handles.session.valid()) return;
    // Which handle a WinINet takes its time-outs from differs between
    // versions: the same ones go on all three.
    SetTimeouts(api, handles.session.get());
    handles.connection.reset(api.connect(handles.session.get(), host.c_str(), INTERNET_DEFAULT_HTTP_PORT, NULL, NULL,
                                         INTERNET_SERVICE_HTTP, 0, 0));
    if (!handles.connection.valid()) return;
    SetTimeouts(api, handles.connection.get());
    const wchar_t* accept[] = {L"*/*", NULL};
    handles.request.reset(api.openRequest(handles.connection.get(), L"POST", path.c_str(), L"HTTP/1.0", NULL, accept,
                                          INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0));
    if (!handles.request.valid()) return;
    if (!SetTimeouts(api, handles.request.get())) return;
    if (body == NULL || bodyLength == 0) return;
    std::string narrow = WideToAnsi(std::wstring(body, bodyLength));
    api.sendRequest(handles.request.get(), NULL, 0, narrow.empty() ? NULL : &narrow[0], static_cast<DWORD>(narrow.size()));
}

int ReadResponseChunk(QVHttpHandles& handles, unsigned char* destination, uint32_t size) {
    if (!handles.request.valid()) return -1;
    DWORD got = 0;
    if (!handles.Api().readFile(handles.request.get(), destination, size, &got)) return -1;
    handles.received += got;
    return static_cast<int>(got);
}

namespace {

// The response as ReadResponseBody reads it, over WinINet.
class QVInternetSource {
public:
    explicit QVInternetSource(QVHttpHandles& handles) : m_handles(handles), m_started(::GetTickCount()) {}
    // A blocking read waits until its whole chunk has come, and a slow drip
    // never trips the receive time-out: reading only what is there lets the
    // deadline be looked at between the bytes.
    uint32_t Available() {
        DWORD available = 0;
        if (!m_handles.Api().queryDataAvailable(m_handles.request.get(), &available, 0, 0)) return 0;
        return available;
    }
    int Read(unsigned char* destination, uint32_t size) { return ReadResponseChunk(m_handles, destination, size); }
    bool Expired() const { return ::GetTickCount() - m_started > kDownloadDeadlineMs; }
    void Pause() { ::Sleep(10); }

private:
    QVHttpHandles& m_handles;
    DWORD m_started;
};

}  // namespace

bool HttpPost(std::wstring host, std::wstring path, std::wstring body, QVBuffer<unsigned char>& response,
              uint32_t* responseLength) {
    const QVWinInet api;  // outlives the handles
    QVHttpHandles handles(api);
    OpenAndSendRequest(host, path, body.c_str(), body.size(), handles);
    if (!handles.request.valid()) return false;

    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!api.queryInfo(handles.request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, NULL) ||
        status != 200) {
        return false;
    }
    DWORD length = 0;
    size = sizeof(length);
    const bool lengthFound =
        api.queryInfo(handles.request.get(), HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &length, &size, NULL) != FALSE;
    QVResponsePlan plan;
    if (!PlanResponse(lengthFound, length, lengthFound ? 0 : ::GetLastError(), &plan)) return false;

    if (!response.Resize(plan.expected + 1)) return false;
    memset(response.Data(), 0, plan.expected + 1);
    QVInternetSource source(handles);
    uint32_t received = 0;
    if (!ReadResponseBody(plan, response.Data(), source, &received)) return false;
    *responseLength = received;
    return true;
}

}  // namespace Quorvel
