#ifndef QV_REPORT_HTTP_H
#define QV_REPORT_HTTP_H

#include <stdint.h>

namespace Quorvel {

// What a response without Content-Length may bring at the most.
const uint32_t kOpenLengthCapacity = 10485760;
const uint32_t kResponseChunk = 4096;
const uint32_t kHeaderNotFound = 12150;  // ERROR_HTTP_HEADER_NOT_FOUND
// The whole download ends after this long, however the server drips.
const uint32_t kDownloadDeadlineMs = 10000;

struct QVResponsePlan {
    uint32_t expected;  // bytes to read; the buffer holds one more
    bool knownLength;
};

// From the Content-Length query (its success, the number, and the error
// when it failed) to what is read. False when the exchange ends here: no
// length, a length of 0, a query error, or a length above the capacity
// (which would also make expected + 1 wrap for 4294967295).
bool PlanResponse(bool lengthFound, uint32_t length, uint32_t lastError, QVResponsePlan* plan);

// The next read's size: never past the end of the buffer.
uint32_t NextChunk(uint32_t expected, uint32_t received);

// Reads a planned response body into buffer (plan.expected + 1 bytes,
// zeroed). Source supplies: Available() (bytes ready now, 0 if unknown),
// Read(destination, size) (count, 0 at the end, -1 on error), Expired()
// (the deadline has passed) and Pause() (after an empty read). Known length:
// true only when exactly that many bytes came, with at most three empty
// reads. Open length: the end of the data, or an error, ends it with what
// came. The deadline ends either mode with false.
template <class Source>
bool ReadResponseBody(const QVResponsePlan& plan, unsigned char* buffer, Source& source, uint32_t* received) {
    *received = 0;
    int emptyReads = 0;
    while (*received < plan.expected) {
        if (source.Expired()) return false;
        uint32_t chunk = NextChunk(plan.expected, *received);
        const uint32_t available = source.Available();
        if (available > 0 && available < chunk) chunk = available;
        const int n = source.Read(buffer + *received, chunk);
        if (n < 0) break;
        if (n == 0) {
            if (!plan.knownLength) break;
            source.Pause();
            if (++emptyReads > 3) break;
            continue;
        }
        // A source that reports more than it was asked for is not trusted.
        if (static_cast<uint32_t>(n) > chunk) return false;
        *received += static_cast<uint32_t>(n);
    }
    return !plan.knownLength || *received == plan.expected;
}

}  // namespace Quorvel

#endif
