// Handles, the thread-local last error, events and waits.
//
// Every handle (event or serial port) lives in one process-wide table that
// tells the kinds apart; a handle value that is not in the table, or of the
// wrong kind for a call, fails with ERROR_INVALID_HANDLE. Waits use the
// monotonic clock.
#pragma once

#include "platform/posix/wintypes.h"

extern "C" {

/// Closes an event or serial port handle. A port's pending operations end
/// with ERROR_OPERATION_ABORTED before this returns; the caller's OVERLAPPED
/// records are not touched afterwards.
BOOL WINAPI CloseHandle(HANDLE hObject);

/// Error code of the calling thread's last failed call.
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD dwErrCode);

/// Creates an event. Names are not supported: lpName must be NULL
/// (ERROR_INVALID_PARAMETER otherwise); lpEventAttributes is ignored.
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCSTR lpName);
BOOL WINAPI SetEvent(HANDLE hEvent);
BOOL WINAPI ResetEvent(HANDLE hEvent);

/// Waits for an event handle. Returns WAIT_OBJECT_0, WAIT_TIMEOUT or
/// WAIT_FAILED (with the last error set). Waiting on a port handle is not
/// supported (WAIT_FAILED, ERROR_INVALID_HANDLE).
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

void WINAPI Sleep(DWORD dwMilliseconds);
DWORD WINAPI GetCurrentThreadId(void);

} // extern "C"

namespace pmv::platform {

/// The one mapping from an errno value to the Windows error code the
/// stand-in reports. Unknown values give ERROR_GEN_FAILURE.
DWORD WinErrorFromErrno(int err);

} // namespace pmv::platform
