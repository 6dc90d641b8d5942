// Handles, last error, events and waits over std::mutex/condition_variable.
#include "platform/posix/handles_p.h"
#include "platform/posix/synchapi.h"

#include <cerrno>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>

namespace pmv::platform {

DWORD WinErrorFromErrno(int err) {
    switch (err) {
    case 0:
        return ERROR_SUCCESS;
    case EPERM:
    case EACCES:
    case EBUSY: // a port another open holds
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case ENOENT:
    case ENXIO: // a device node whose device is not there
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ELOOP:
        return ERROR_PATH_NOT_FOUND;
    case EIO: // on a tty: the device hung up or vanished
    case ENODEV:
        return ERROR_BAD_COMMAND;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ENOTTY: // the device does not know the request (e.g. no modem lines)
    case ENOSYS:
    case EOPNOTSUPP:
        return ERROR_NOT_SUPPORTED;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case EAGAIN:
        return ERROR_BUSY;
    case EINTR:
        return ERROR_OPERATION_ABORTED;
    case ETIMEDOUT:
        return ERROR_SEM_TIMEOUT;
    case EPIPE:
        return ERROR_BROKEN_PIPE;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case ENAMETOOLONG:
        return ERROR_INVALID_NAME;
    case EFAULT:
        return ERROR_NOACCESS;
    default:
        return ERROR_GEN_FAILURE;
    }
}

namespace detail {
namespace {

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> objects;
    std::uintptr_t next = 0x100; // small values look like (and are) invalid
};

HandleTable& Table() {
    static HandleTable* table = new HandleTable; // outlives static destructors
    return *table;
}

std::uintptr_t Key(HANDLE h) {
    return reinterpret_cast<std::uintptr_t>(h);
}

} // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
    HandleTable& t = Table();
    std::lock_guard lock(t.mutex);
    const std::uintptr_t value = t.next;
    t.next += 4;
    t.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> FindHandle(HANDLE h, ObjectKind k) {
    HandleTable& t = Table();
    std::lock_guard lock(t.mutex);
    auto it = t.objects.find(Key(h));
    if (it == t.objects.end() || it->second->kind != k)
        return nullptr;
    return it->second;
}

std::shared_ptr<KernelObject> TakeHandle(HANDLE h, ObjectKind k) {
    HandleTable& t = Table();
    std::lock_guard lock(t.mutex);
    auto it = t.objects.find(Key(h));
    if (it == t.objects.end() || it->second->kind != k)
        return nullptr;
    std::shared_ptr<KernelObject> object = std::move(it->second);
    t.objects.erase(it);
    return object;
}

Event::~Event() {
    if (FNudgeFd >= 0)
        ::close(FNudgeFd);
}

void Event::Set() {
    {
        std::lock_guard lock(FMutex);
        FSignalled = true;
        if (FReaderWaits > 0 && FNudgeFd >= 0) {
            const std::uint64_t one = 1;
            (void)!::write(FNudgeFd, &one, sizeof one); // EAGAIN: it is readable already
        }
    }
    if (FManual)
        FCond.notify_all();
    else
        FCond.notify_one();
}

void Event::Reset() {
    std::lock_guard lock(FMutex);
    FSignalled = false;
}

void Event::SetReader(std::weak_ptr<EventReader> reader) {
    std::lock_guard lock(FMutex);
    FReader = std::move(reader);
}

bool Event::TryConsume() {
    std::lock_guard lock(FMutex);
    if (!FSignalled)
        return false;
    if (!FManual)
        FSignalled = false;
    return true;
}

int Event::BeginReaderWait() {
    std::lock_guard lock(FMutex);
    if (FNudgeFd < 0)
        FNudgeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (FNudgeFd >= 0)
        ++FReaderWaits;
    return FNudgeFd;
}

void Event::EndReaderWait(bool drain) {
    std::lock_guard lock(FMutex);
    --FReaderWaits;
    if (drain) {
        std::uint64_t value;
        (void)!::read(FNudgeFd, &value, sizeof value);
    }
}

bool Event::Wait(DWORD milliseconds) {
    // No look-out before sleeping: the waiters are the port's workers, which
    // wait for the device, and a device's reply needs a processor to be
    // produced (on a pseudo-terminal, the far end's process). A spinning
    // waiter kept it from one on a 2-core machine and halved the request rate.
    if (milliseconds != 0) {
        std::shared_ptr<EventReader> reader;
        {
            std::lock_guard lock(FMutex);
            reader = FReader.lock();
        }
        if (reader) {
            if (const std::optional<bool> done = reader->WaitReading(*this, milliseconds))
                return *done;
        }
    }
    std::unique_lock lock(FMutex);
    auto ready = [this] { return FSignalled; };
    if (milliseconds == INFINITE) {
        FCond.wait(lock, ready);
    } else if (!FCond.wait_until(
                   lock, std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds),
                   ready)) {
        return false;
    }
    if (!FManual)
        FSignalled = false;
    return true;
}

} // namespace detail
} // namespace pmv::platform

using namespace pmv::platform;
using namespace pmv::platform::detail;

namespace {
thread_local DWORD tLastError = ERROR_SUCCESS;
}

extern "C" {

DWORD WINAPI GetLastError(void) {
    return tLastError;
}

void WINAPI SetLastError(DWORD dwErrCode) {
    tLastError = dwErrCode;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    std::shared_ptr<KernelObject> object = TakeHandle(hObject, ObjectKind::Event);
    if (!object)
        object = TakeHandle(hObject, ObjectKind::Port);
    if (!object)
        return Fail(ERROR_INVALID_HANDLE);
    object->Close();
    return TRUE;
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCSTR lpName) {
    (void)lpEventAttributes; // no security model and no inheritance here
    if (lpName != nullptr) {
        // Named events would be shared between processes; nothing here needs them.
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    try {
        HANDLE h =
            InsertHandle(std::make_shared<Event>(bManualReset != FALSE, bInitialState != FALSE));
        SetLastError(ERROR_SUCCESS); // as Windows does for an unnamed event
        return h;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
    auto event = std::static_pointer_cast<Event>(FindHandle(hEvent, ObjectKind::Event));
    if (!event)
        return Fail(ERROR_INVALID_HANDLE);
    event->Set();
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
    auto event = std::static_pointer_cast<Event>(FindHandle(hEvent, ObjectKind::Event));
    if (!event)
        return Fail(ERROR_INVALID_HANDLE);
    event->Reset();
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    auto event = std::static_pointer_cast<Event>(FindHandle(hHandle, ObjectKind::Event));
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    // The wait keeps its own reference: closing the handle meanwhile does not
    // end it, as on Windows.
    return event->Wait(dwMilliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

void WINAPI Sleep(DWORD dwMilliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

DWORD WINAPI GetCurrentThreadId(void) {
    return static_cast<DWORD>(::syscall(SYS_gettid));
}

} // extern "C"
