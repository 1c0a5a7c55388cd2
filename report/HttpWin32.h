#ifndef QV_REPORT_HTTPWIN32_H
#define QV_REPORT_HTTPWIN32_H

#include <stdint.h>
#include <string>

#include <windows.h>
#include <wininet.h>

#include "core/Buffer.h"
#include "core/HandlesWin32.h"

namespace Quorvel {

// WinINet, loaded from the system folder for one exchange; every function
// is NULL when the library or a function is missing.
struct QVWinInet {
    QVLibrary library;
    decltype(&::InternetOpenW) open;
    decltype(&::InternetConnectW) connect;
    decltype(&::HttpOpenRequestW) openRequest;
    decltype(&::InternetSetOptionW) setOption;
    decltype(&::HttpSendRequestW) sendRequest;
    decltype(&::HttpQueryInfoW) queryInfo;
    decltype(&::InternetReadFile) readFile;
    decltype(&::InternetQueryDataAvailable) queryDataAvailable;
    decltype(&::InternetCloseHandle) closeHandle;

    QVWinInet();
    bool Complete() const;
};

// A WinINet handle, closed by the InternetCloseHandle of the WinINet that
// made it: the exchange's library stays loaded while its handles live.
struct QVInternetHandleTraits {
    typedef HINTERNET Type;
    static Type Empty() { return NULL; }
    static bool IsValid(Type h) { return h != NULL; }
    static void Close(Type h) {
        decltype(&::InternetCloseHandle) close =
            GetProc<decltype(close)>(::GetModuleHandleW(L"wininet.dll"), "InternetCloseHandle");
        if (close != NULL) close(h);
    }
};
typedef QVUniqueHandle<QVInternetHandleTraits> QVInternetHandle;

// The three handles of one exchange. Closing a WinINet parent invalidates
// its children, so they are closed child first: request, connection,
// session.
struct QVHttpHandles {
    explicit QVHttpHandles(const QVWinInet& api) : received(0), m_api(api) {}
    ~QVHttpHandles() { Close(); }
    QVHttpHandles(const QVHttpHandles&) = delete;
    QVHttpHandles& operator=(const QVHttpHandles&) = delete;
    void Close();
    const QVWinInet& Api() const { return m_api; }

    QVInternetHandle request;
    QVInternetHandle connection;
    QVInternetHandle session;
    uint32_t received;  // bytes read so far

private:
    const QVWinInet& m_api;
};

// Opens session, connection and request (POST, HTTP/1.0, port 80), sets the
// 2-second time-outs and sends the body in the ANSI code page. Sends
// nothing for an empty body; the caller judges the outcome.
void OpenAndSendRequest(const std::wstring& host, const std::wstring& path, const wchar_t* body, size_t bodyLength,
                        QVHttpHandles& handles);

// One read of at most size bytes: the count (0 at the end), or -1.
int ReadResponseChunk(QVHttpHandles& handles, unsigned char* destination, uint32_t size);

// One POST exchange. True on a 200 whose body arrived whole; the buffer
// then holds it and at least one zero byte after it.
bool HttpPost(std::wstring host, std::wstring path, std::wstring body, QVBuffer<unsigned char>& response,
              uint32_t* responseLength);

}  // namespace Quorvel

#endif
