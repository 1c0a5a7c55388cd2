#ifndef QV_REPORT_HTTPLOGIC_H
#define QV_REPORT_HTTPLOGIC_H

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

}  // namespace Quorvel

#endif
