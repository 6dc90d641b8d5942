#include "app/link/ReplyTimeout.h"

#include <atomic>

namespace pmv {

namespace {

std::atomic<int> gReplyTimeoutMs{kDefaultReplyTimeoutMs};

} // namespace

int ReplyTimeoutMs() {
    return gReplyTimeoutMs.load(std::memory_order_relaxed);
}

bool SetReplyTimeoutMs(int ms) {
    if (ms < kMinReplyTimeoutMs || ms > kMaxReplyTimeoutMs)
        return false;
    gReplyTimeoutMs.store(ms, std::memory_order_relaxed);
    return true;
}

} // namespace pmv
