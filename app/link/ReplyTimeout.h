// The reply time-out: how long a request waits for its reply before the
// engine logs "%s - Rx timeout". One value for the whole process, read by
// everything that waits for a reply: the reply timer of every port link
// (TReplyTimer, read when the link is made), the port adapter's hand-over
// of a frame the component could not take at once, and the programs. A
// program that lets the operator choose it (pmv-link --timeout) sets it
// once, before it makes its links; the window keeps the default.
#pragma once

namespace pmv {

inline constexpr int kDefaultReplyTimeoutMs = 200; // the window's
inline constexpr int kMinReplyTimeoutMs = 1;
inline constexpr int kMaxReplyTimeoutMs = 60000;

// The time-out in force, in milliseconds.
int ReplyTimeoutMs();
// Changes it; false (and unchanged) outside kMinReplyTimeoutMs..kMaxReplyTimeoutMs.
bool SetReplyTimeoutMs(int ms);

} // namespace pmv
