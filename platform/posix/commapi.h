// Serial devices and overlapped I/O.
//
// CreateFileA("\\\\.\\COMn", ...) resolves n through the serial device map
// (winreg.h, DeviceMap.h) and opens that tty raw, non-blocking, exclusively
// and without making it the controlling terminal. Each open port has one I/O
// engine thread that polls the descriptor and a wake descriptor, completes
// pending ReadFile / WriteFile / WaitCommEvent calls by filling in the
// OVERLAPPED record and setting its event, and watches modem lines, breaks
// and receive errors while the event mask asks for them.
//
// Device quirks, reported rather than hidden:
// - A pseudo-terminal always runs 8 data bits without parity; SetCommState
//   accepts other settings on a pty (a real UART that refuses one fails with
//   ERROR_INVALID_PARAMETER).
// - A pseudo-terminal has no modem lines: EscapeCommFunction(SETRTS...) and
//   GetCommModemStatus fail with ERROR_NOT_SUPPORTED unless a line source is
//   attached (LineSource.h).
// - A USB adapter's driver takes settings that its chip cannot run and
//   reports them as taken (an FTDI chip below 183 baud or with fewer than 7
//   data bits): SetCommState refuses them with ERROR_INVALID_PARAMETER, as
//   it does what a UART driver refuses (devicetraits_p.h).
// - A vanished device (hang-up, EIO, end of file after readiness) fails every
//   pending and later operation with ERROR_BAD_COMMAND, as Windows serial
//   drivers do after a surprise removal; received bytes not yet read are
//   dropped with it.
#pragma once

#include "platform/posix/wintypes.h"

extern "C" {

/// Opens "\\\\.\\COMn" (also "COMn"). Supported: dwDesiredAccess
/// GENERIC_READ and/or GENERIC_WRITE, dwShareMode 0, dwCreationDisposition
/// OPEN_EXISTING, dwFlagsAndAttributes FILE_ATTRIBUTE_NORMAL and/or
/// FILE_FLAG_OVERLAPPED, hTemplateFile NULL; anything else fails with
/// ERROR_INVALID_PARAMETER. Without FILE_FLAG_OVERLAPPED the calls below
/// block as Windows does. Errors: ERROR_FILE_NOT_FOUND (no such port),
/// ERROR_ACCESS_DENIED (port busy or permission refused); a node that is
/// no serial device (/dev/null, a file) fails with ERROR_FILE_NOT_FOUND
/// before anyone looks for its holders. The port opens with empty receive
/// and transmit queues: bytes an earlier program left are discarded. The open is
/// exclusive as on Windows: it fails while any other process has the device
/// node open, found through /proc/PID/fd before the device is touched
/// (platform/PortStatus.h; the far end of a pty and the number's publisher
/// do not count), and while another handle holds the port's flock. Why it
/// failed, in words: ExplainComError (PortStatus.h).
HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);

/// Settings. SetCommState validates the whole block first
/// (ERROR_INVALID_PARAMETER), applies it with one tcsetattr, then reads the
/// device back; DTR/RTS control ENABLE/DISABLE set the lines, HANDSHAKE and
/// TOGGLE as well as software flow control fail with ERROR_NOT_SUPPORTED.
BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB);
BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB);
BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
/// All values zero: a read completes only when all its bytes have arrived.
/// The stand-in honours only that setting and MAXDWORD/0/0 reads (return at
/// once with what is there); other values fail with ERROR_NOT_SUPPORTED.
BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp);
/// GetCommProperties reports the buffers that hold the port's bytes, current
/// and maximum alike: receive 8192 bytes (the line discipline's 4096-byte
/// read buffer and the port's own 4096 bytes, which it takes off the tty in
/// one read and completes reads from), transmit one page on a real port and
/// 8192 bytes on a pty (see transport_tty.cpp).
/// SetupComm accepts any non-zero sizes as the recommendation Windows takes
/// them for and changes nothing (zero sizes: ERROR_INVALID_PARAMETER); the
/// kernel's tty buffers are not resizable.
BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue);
BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask);
/// Also completes a pending WaitCommEvent with an empty mask.
BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask);

/// Overlapped I/O. With an OVERLAPPED record on a port opened with
/// FILE_FLAG_OVERLAPPED: TRUE when done at once, else FALSE with
/// ERROR_IO_PENDING and the record's event set on completion. One read, one
/// write and one event wait may be pending at a time; a second one fails
/// with ERROR_INVALID_PARAMETER.
BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped);
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
/// ERROR_IO_INCOMPLETE while pending and bWait is FALSE; the operation's own
/// error (ERROR_OPERATION_ABORTED after a purge or close, ERROR_BAD_COMMAND
/// after the device vanished) when it failed.
BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
/// PURGE_RXABORT / PURGE_TXABORT end the pending read / write with
/// ERROR_OPERATION_ABORTED; PURGE_RXCLEAR / PURGE_TXCLEAR discard the
/// driver's queues (the receive queue with the bytes the port has taken off
/// the tty but not yet handed to a read).
BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags);
/// SETRTS, CLRRTS, SETDTR, CLRDTR, SETBREAK, CLRBREAK; the others fail with
/// ERROR_NOT_SUPPORTED.
BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc);
BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat);
/// Returns and clears the sticky CE_* error word; lpStat may be NULL. Its
/// cbInQue counts the whole receive queue (kernel and port).
BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat);

} // extern "C"
