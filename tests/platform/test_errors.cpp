// The errno-to-Windows mapping and the thread-local last error.
#include "platform/winapi.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

namespace {

struct ErrnoRow {
    int err;
    DWORD expected;
    const char* why;
};

const ErrnoRow kErrnoTable[] = {
    {0, ERROR_SUCCESS, "no error"},
    {ENOENT, ERROR_FILE_NOT_FOUND, "missing device node"},
    {ENXIO, ERROR_FILE_NOT_FOUND, "node without a device"},
    {EACCES, ERROR_ACCESS_DENIED, "no permission (dialout group)"},
    {EPERM, ERROR_ACCESS_DENIED, "operation not permitted"},
    {EBUSY, ERROR_ACCESS_DENIED, "port held exclusively by another open"},
    {EROFS, ERROR_ACCESS_DENIED, "read-only file system"},
    {ENOTDIR, ERROR_PATH_NOT_FOUND, "path through a file"},
    {ELOOP, ERROR_PATH_NOT_FOUND, "link loop"},
    {EIO, ERROR_BAD_COMMAND, "hung-up or removed tty"},
    {ENODEV, ERROR_BAD_COMMAND, "device gone"},
    {EBADF, ERROR_INVALID_HANDLE, "closed descriptor"},
    {EINVAL, ERROR_INVALID_PARAMETER, "bad argument"},
    {ENOTTY, ERROR_NOT_SUPPORTED, "request the device does not know"},
    {ENOSYS, ERROR_NOT_SUPPORTED, "not implemented"},
    {EOPNOTSUPP, ERROR_NOT_SUPPORTED, "operation not supported"},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY, "out of memory"},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES, "process descriptor limit"},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES, "system descriptor limit"},
    {EAGAIN, ERROR_BUSY, "resource temporarily unavailable"},
    {EINTR, ERROR_OPERATION_ABORTED, "interrupted"},
    {ETIMEDOUT, ERROR_SEM_TIMEOUT, "timed out"},
    {EPIPE, ERROR_BROKEN_PIPE, "broken pipe"},
    {EEXIST, ERROR_FILE_EXISTS, "exists"},
    {ENAMETOOLONG, ERROR_INVALID_NAME, "name too long"},
    {EFAULT, ERROR_NOACCESS, "bad address"},
    {EDOM, ERROR_GEN_FAILURE, "anything unexpected"},
    {-1, ERROR_GEN_FAILURE, "not an errno value"},
};

TEST(ErrnoMapping, Table) {
    for (const ErrnoRow& row : kErrnoTable) {
        SCOPED_TRACE(row.why);
        EXPECT_EQ(pmv::platform::WinErrorFromErrno(row.err), row.expected) << "errno " << row.err;
    }
}

TEST(ErrnoMapping, WindowsValues) {
    // Callers compare against the numbers Windows documents.
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, 2);
    EXPECT_EQ(ERROR_ACCESS_DENIED, 5);
    EXPECT_EQ(ERROR_INVALID_HANDLE, 6);
    EXPECT_EQ(ERROR_BAD_COMMAND, 22);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, 87);
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, 259);
    EXPECT_EQ(ERROR_OPERATION_ABORTED, 995);
    EXPECT_EQ(ERROR_IO_INCOMPLETE, 996);
    EXPECT_EQ(ERROR_IO_PENDING, 997);
    EXPECT_EQ(WAIT_TIMEOUT, 0x102u);
    EXPECT_EQ(KEY_READ, 0x20019u);
}

TEST(LastError, IsPerThread) {
    SetLastError(1234);
    DWORD seenByOther = 0;
    std::thread other([&] {
        seenByOther = GetLastError();
        SetLastError(99);
    });
    other.join();
    EXPECT_EQ(seenByOther, 0u);
    EXPECT_EQ(GetLastError(), 1234u);
}

} // namespace
