#ifndef QV_REPORT_HTTP_H
#define QV_REPORT_HTTP_H

#include <stdint.h>
#include <string>

#include <windows.h>
#include <wininet.h>

#include "app/Handles.h"
#include "archive/Buffer.h"

namespace Quorvel {

struct QVInternetHandleTraits {
    typedef HINTERNET Type;
    static Type Empty() { return NULL; }
    static bool IsValid(Type h) { return h != NULL; }
    static void Close(Type h) { ::InternetCloseHandle(h); }
};
typedef QVUniqueHandle<QVInternetHandleTraits> QVInternetHandle;

// The three handles of one exchange. Closing a WinINet parent invalidates
// its children, so they are closed child first: request, connection,
// session (members are destroyed in reverse order, too).
struct QVHttpHandles {
    QVInternetHandle session;
    QVInternetHandle connection;
    QVInternetHandle request;
    uint32_t received;  // bytes read so far

    QVHttpHandles() : received(0) {}
    void Close();
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
