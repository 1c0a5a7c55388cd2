// The response-size decisions and the body read loop. Input: a found flag,
// a Content-Length, an error code, then one byte per read (0x80 and up: a
// read error; otherwise that many times 37 bytes). Oracle: the buffer is
// exactly plan + 1 bytes (AddressSanitizer sees any write past it), the
// count never passes the plan and the last byte stays zero.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "report/Http.h"

using namespace Quorvel;

namespace {

struct FuzzSource {
    const uint8_t* steps;
    size_t count;
    size_t next;
    uint32_t Available() { return next < count ? (steps[next] & 0x7F) * 41u : 0; }
    int Read(unsigned char* destination, uint32_t size) {
        if (next >= count) return 0;
        const uint8_t step = steps[next++];
        if (step & 0x80) return -1;
        uint32_t n = step * 37u;
        if (n > size) n = size;  // a real source never writes past what it is given
        memset(destination, 0xAB, n);
        return static_cast<int>(n);
    }
    bool Expired() const { return next > 4000; }
    void Pause() {}
};

uint32_t Read32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9) return 0;
    QVResponsePlan plan;
    if (!PlanResponse(data[0] & 1, Read32(data + 1), Read32(data + 5), &plan)) return 0;
    if (plan.expected == 0 || plan.expected > kOpenLengthCapacity) abort();
    unsigned char* buffer = new unsigned char[plan.expected + 1];
    memset(buffer, 0, plan.expected + 1);
    FuzzSource source = {data + 9, size - 9, 0};
    uint32_t received = 0;
    const bool ok = ReadResponseBody(plan, buffer, source, &received);
    if (received > plan.expected || buffer[plan.expected] != 0) abort();
    if (ok && plan.knownLength && received != plan.expected) abort();
    delete[] buffer;
    return 0;
}
