#include "comport/Lnkutils.h"

#include "platform/PortStatus.h"
#include "platform/winapi.h"

#include <algorithm>
#include <charconv>
#include <string_view>
#include <vector>

namespace QORLNK {

namespace {

// The number after the first three characters of a device-map value
// ("COM12" -> 12), or -1 when the rest is not a plain decimal number.
int PortNumberOf(std::string_view value) {
    if (value.size() <= 3)
        return -1;
    const std::string_view digits = value.substr(3);
    int n = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    if (ec != std::errc() || end != digits.data() + digits.size())
        return -1;
    return n;
}

} // namespace

bool IsPortPres(int n) {
    if (n < 1 || n > 255)
        return false;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return false;
    bool present = false;
    std::vector<char> name(16384); // the registry's longest value name, plus NUL
    std::vector<BYTE> data(256);
    for (DWORD index = 0;; ++index) {
        DWORD nameLen = static_cast<DWORD>(name.size());
        DWORD dataLen = static_cast<DWORD>(data.size() - 1);
        DWORD type = REG_NONE;
        LONG rc =
            RegEnumValueA(key, index, name.data(), &nameLen, nullptr, &type, data.data(), &dataLen);
        if (rc == ERROR_MORE_DATA) {
            // A long value: grow once to the size asked for.
            data.resize(std::max<std::size_t>(data.size() * 2, dataLen + 1u));
            nameLen = static_cast<DWORD>(name.size());
            dataLen = static_cast<DWORD>(data.size() - 1);
            rc = RegEnumValueA(key, index, name.data(), &nameLen, nullptr, &type, data.data(),
                               &dataLen);
        }
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS || type != REG_SZ)
            continue;
        // REG_SZ data normally ends with its NUL, but need not.
        std::string_view value(reinterpret_cast<const char*>(data.data()), dataLen);
        if (const auto nul = value.find('\0'); nul != std::string_view::npos)
            value = value.substr(0, nul);
        if (PortNumberOf(value) == n) {
            present = true;
            break;
        }
    }
    RegCloseKey(key);
    return present;
}

std::vector<std::string> PortDescriptions(int count) {
    return pmv::platform::DescribeComPorts(count);
}

} // namespace QORLNK
