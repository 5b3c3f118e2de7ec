// deadline.cpp -- the arithmetic of deadlines, the same on every platform.
#include "platform/platform.h"

namespace peerdir {

Deadline deadlineAfter(unsigned millis) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(millis);
}

unsigned millisUntil(Deadline deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<unsigned>(left.count()) : 0;
}

}  // namespace peerdir
