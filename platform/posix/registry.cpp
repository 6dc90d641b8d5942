// Read-only registry holding the one key HKLM\HARDWARE\DEVICEMAP\SERIALCOMM.
#include "platform/DeviceMap.h"
#include "platform/posix/handles_p.h"
#include "platform/posix/winreg.h"

#include <cstring>
#include <strings.h>

using namespace pmv::platform;
using namespace pmv::platform::detail;

namespace {

constexpr const char* kSerialCommKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

struct Value {
    std::string name; // device path
    std::string data; // "COMn"
};

// A snapshot of the map taken when the key was opened.
class Key final : public KernelObject {
public:
    explicit Key(std::vector<Value> v) : KernelObject(ObjectKind::Key), values(std::move(v)) {}
    const std::vector<Value> values;
};

std::shared_ptr<Key> FindKey(HKEY h) {
    return std::static_pointer_cast<Key>(FindHandle(reinterpret_cast<HANDLE>(h), ObjectKind::Key));
}

// Copies a REG_SZ value with its terminating zero; ERROR_MORE_DATA (and the
// size needed) when the buffer is too small. lpData NULL asks for the size.
LONG CopyData(const std::string& data, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpData != nullptr && lpcbData == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (lpType != nullptr)
        *lpType = REG_SZ;
    if (lpcbData == nullptr)
        return ERROR_SUCCESS;
    const DWORD needed = static_cast<DWORD>(data.size() + 1);
    if (lpData == nullptr) {
        *lpcbData = needed;
        return ERROR_SUCCESS;
    }
    if (*lpcbData < needed) {
        *lpcbData = needed;
        return ERROR_MORE_DATA;
    }
    std::memcpy(lpData, data.c_str(), needed);
    *lpcbData = needed;
    return ERROR_SUCCESS;
}

} // namespace

extern "C" {

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult) {
    if (phkResult == nullptr || ulOptions != 0)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (FindKey(hKey))
        return ERROR_FILE_NOT_FOUND; // the serial map has no subkeys
    const std::uintptr_t root = reinterpret_cast<std::uintptr_t>(hKey);
    if (root < reinterpret_cast<std::uintptr_t>(HKEY_CLASSES_ROOT) ||
        root > reinterpret_cast<std::uintptr_t>(HKEY_USERS))
        return ERROR_INVALID_HANDLE;
    if (hKey != HKEY_LOCAL_MACHINE || lpSubKey == nullptr ||
        strcasecmp(lpSubKey, kSerialCommKey) != 0)
        return ERROR_FILE_NOT_FOUND;
    const REGSAM kReadable = KEY_READ | KEY_WOW64_64KEY | KEY_WOW64_32KEY;
    if ((samDesired & ~kReadable) != 0)
        return ERROR_ACCESS_DENIED; // the map is maintained by the system
    try {
        std::vector<Value> values;
        for (const DeviceMapEntry& e : ReadDeviceMap())
            values.push_back({e.device, "COM" + std::to_string(e.comNumber)});
        *phkResult = reinterpret_cast<HKEY>(InsertHandle(std::make_shared<Key>(std::move(values))));
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                          LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr)
        return ERROR_INVALID_PARAMETER;
    auto key = FindKey(hKey);
    if (!key)
        return ERROR_INVALID_HANDLE;
    if (dwIndex >= key->values.size())
        return ERROR_NO_MORE_ITEMS;
    const Value& v = key->values[dwIndex];
    // The name buffer size counts the terminating zero; on success the
    // returned length does not.
    if (*lpcchValueName < v.name.size() + 1)
        return ERROR_MORE_DATA;
    const LONG rc = CopyData(v.data, lpType, lpData, lpcbData);
    if (rc != ERROR_SUCCESS)
        return rc;
    std::memcpy(lpValueName, v.name.c_str(), v.name.size() + 1);
    *lpcchValueName = static_cast<DWORD>(v.name.size());
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData) {
    if (lpReserved != nullptr)
        return ERROR_INVALID_PARAMETER;
    auto key = FindKey(hKey);
    if (!key)
        return ERROR_INVALID_HANDLE;
    if (lpValueName != nullptr)
        for (const Value& v : key->values)
            if (v.name == lpValueName)
                return CopyData(v.data, lpType, lpData, lpcbData);
    return ERROR_FILE_NOT_FOUND; // also the (absent) default value
}

LONG WINAPI RegCloseKey(HKEY hKey) {
    auto key = TakeHandle(reinterpret_cast<HANDLE>(hKey), ObjectKind::Key);
    if (!key)
        return ERROR_INVALID_HANDLE;
    key->Close();
    return ERROR_SUCCESS;
}

} // extern "C"
