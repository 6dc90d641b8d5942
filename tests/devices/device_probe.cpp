// device-probe: a second process for the device tests.
//   device-probe open N   CreateFileA on COMN; prints the error (0 when it
//                         opened) and ExplainComError's line, then ends
//   device-probe hold N   opens COMN, prints "held", keeps it open until
//                         its standard input ends, then closes it
#include "platform/PortStatus.h"
#include "platform/winapi.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[1], "open") != 0 && std::strcmp(argv[1], "hold") != 0)) {
        std::fprintf(stderr, "usage: device-probe open|hold N\n");
        return 2;
    }
    const int n = std::atoi(argv[2]);
    const std::string name = "\\\\.\\COM" + std::to_string(n);
    HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD err = GetLastError();
        std::printf("%u\n%s\n", err, pmv::platform::ExplainComError(n, err).c_str());
        return 1;
    }
    if (std::strcmp(argv[1], "hold") == 0) {
        std::printf("held\n");
        std::fflush(stdout);
        char c;
        while (::read(STDIN_FILENO, &c, 1) > 0) {
        }
    } else {
        std::printf("0\n");
    }
    CloseHandle(h);
    return 0;
}
