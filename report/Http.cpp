#include "report/Http.h"

namespace Quorvel {

bool PlanResponse(bool lengthFound, uint32_t length, uint32_t lastError, QVResponsePlan* plan) {
    if (lengthFound) {
        if (length == 0 || length > kOpenLengthCapacity) return false;
        plan->expected = length;
        plan->knownLength = true;
        return true;
    }
    if (lastError != kHeaderNotFound) return false;
    plan->expected = kOpenLengthCapacity;
    plan->knownLength = false;
    return true;
}

uint32_t NextChunk(uint32_t expected, uint32_t received) {
    if (received >= expected) return 0;
    const uint32_t left = expected - received;
    return left < kResponseChunk ? left : kResponseChunk;
}

}  // namespace Quorvel
