// Port settings: the DCB's translation to termios (as a table, without a
// device), and the settings calls on a real pseudo-terminal.
#include "PlatformTestSupport.h"
#include "platform/PortStatus.h"
#include "platform/posix/comm_p.h"

#include <cstring>
#include <functional>
#include <sys/ioctl.h>

using namespace pmvtest;
using pmv::platform::detail::ApplyDcbToTermios;
using pmv::platform::detail::DcbFromTermios;
using pmv::platform::detail::ValidateDcb;

namespace {

/// The block the serial component builds at open: 9600 8N1, lines enabled.
DCB BaseDcb() {
    DCB d{};
    d.DCBlength = sizeof(DCB);
    d.BaudRate = 9600;
    d.fBinary = 1;
    d.fDtrControl = DTR_CONTROL_ENABLE;
    d.fRtsControl = RTS_CONTROL_ENABLE;
    d.XonLim = 1024;
    d.XoffLim = 256;
    d.ByteSize = 8;
    d.Parity = NOPARITY;
    d.StopBits = ONESTOPBIT;
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
    return d;
}

struct DcbRow {
    const char* name;
    std::function<void(DCB&)> change;
    DWORD error;     // 0: valid
    speed_t speed;   // valid rows
    tcflag_t cflags; // CSIZE|PARENB|PARODD|CMSPAR|CSTOPB|CRTSCTS bits
    tcflag_t iflags; // IXON|IXOFF bits
};

constexpr tcflag_t kFraming = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;

// clang-format off
const DcbRow kDcbRows[] = {
    {"9600 8N1", [](DCB&) {}, 0, B9600, CS8, 0},
    {"110 baud", [](DCB& d) { d.BaudRate = 110; }, 0, B110, CS8, 0},
    {"300 baud", [](DCB& d) { d.BaudRate = 300; }, 0, B300, CS8, 0},
    {"19200 baud", [](DCB& d) { d.BaudRate = 19200; }, 0, B19200, CS8, 0},
    {"57600 baud", [](DCB& d) { d.BaudRate = 57600; }, 0, B57600, CS8, 0},
    {"115200 baud", [](DCB& d) { d.BaudRate = 115200; }, 0, B115200, CS8, 0},
    {"5 data bits", [](DCB& d) { d.ByteSize = 5; }, 0, B9600, CS5, 0},
    {"5 data bits, 1.5 stop bits", [](DCB& d) { d.ByteSize = 5; d.StopBits = ONE5STOPBITS; }, 0,
     B9600, CS5 | CSTOPB, 0},
    {"6 data bits, 2 stop bits", [](DCB& d) { d.ByteSize = 6; d.StopBits = TWOSTOPBITS; }, 0,
     B9600, CS6 | CSTOPB, 0},
    {"7 data bits, even parity", [](DCB& d) { d.ByteSize = 7; d.Parity = EVENPARITY; d.fParity = 1; },
     0, B9600, CS7 | PARENB, 0},
    {"odd parity", [](DCB& d) { d.Parity = ODDPARITY; d.fParity = 1; }, 0, B9600,
     CS8 | PARENB | PARODD, 0},
    {"mark parity", [](DCB& d) { d.Parity = MARKPARITY; d.fParity = 1; }, 0, B9600,
     CS8 | PARENB | PARODD | CMSPAR, 0},
    {"space parity", [](DCB& d) { d.Parity = SPACEPARITY; d.fParity = 1; }, 0, B9600,
     CS8 | PARENB | CMSPAR, 0},
    {"8 data bits, 2 stop bits", [](DCB& d) { d.StopBits = TWOSTOPBITS; }, 0, B9600,
     CS8 | CSTOPB, 0},
    {"lines disabled", [](DCB& d) { d.fDtrControl = 0; d.fRtsControl = 0; }, 0, B9600, CS8, 0},
    {"RTS/CTS flow control",
     [](DCB& d) { d.fOutxCtsFlow = 1; d.fRtsControl = RTS_CONTROL_HANDSHAKE; }, 0, B9600,
     CS8 | CRTSCTS, 0},
    {"XON/XOFF both ways", [](DCB& d) { d.fOutX = 1; d.fInX = 1; }, 0, B9600, CS8, IXON | IXOFF},
    // Windows' rules.
    {"baud 0", [](DCB& d) { d.BaudRate = 0; }, ERROR_INVALID_PARAMETER, 0, 0, 0},
    {"baud 12345", [](DCB& d) { d.BaudRate = 12345; }, ERROR_INVALID_PARAMETER, 0, 0, 0},
    {"4 data bits", [](DCB& d) { d.ByteSize = 4; }, ERROR_INVALID_PARAMETER, 0, 0, 0},
    {"9 data bits", [](DCB& d) { d.ByteSize = 9; }, ERROR_INVALID_PARAMETER, 0, 0, 0},
    {"parity 5", [](DCB& d) { d.Parity = 5; }, ERROR_INVALID_PARAMETER, 0, 0, 0},
    {"stop bits 3", [](DCB& d) { d.StopBits = 3; }, ERROR_INVALID_PARAMETER, 0, 0, 0},
    {"5 data bits with 2 stop bits", [](DCB& d) { d.ByteSize = 5; d.StopBits = TWOSTOPBITS; },
     ERROR_INVALID_PARAMETER, 0, 0, 0},
    {"8 data bits with 1.5 stop bits", [](DCB& d) { d.StopBits = ONE5STOPBITS; },
     ERROR_INVALID_PARAMETER, 0, 0, 0},
    {"6 data bits with 1.5 stop bits", [](DCB& d) { d.ByteSize = 6; d.StopBits = ONE5STOPBITS; },
     ERROR_INVALID_PARAMETER, 0, 0, 0},
    {"XON equals XOFF", [](DCB& d) { d.XoffChar = d.XonChar; }, ERROR_INVALID_PARAMETER, 0, 0, 0},
    {"DTR control 3", [](DCB& d) { d.fDtrControl = 3; }, ERROR_INVALID_PARAMETER, 0, 0, 0},
    // What Linux cannot do.
    {"DTR handshake", [](DCB& d) { d.fDtrControl = DTR_CONTROL_HANDSHAKE; }, ERROR_NOT_SUPPORTED,
     0, 0, 0},
    {"RTS toggle", [](DCB& d) { d.fRtsControl = RTS_CONTROL_TOGGLE; }, ERROR_NOT_SUPPORTED, 0, 0,
     0},
    {"DSR output flow", [](DCB& d) { d.fOutxDsrFlow = 1; }, ERROR_NOT_SUPPORTED, 0, 0, 0},
    {"DSR sensitivity", [](DCB& d) { d.fDsrSensitivity = 1; }, ERROR_NOT_SUPPORTED, 0, 0, 0},
    {"error replacement", [](DCB& d) { d.fErrorChar = 1; }, ERROR_NOT_SUPPORTED, 0, 0, 0},
    {"null stripping", [](DCB& d) { d.fNull = 1; }, ERROR_NOT_SUPPORTED, 0, 0, 0},
    {"abort on error", [](DCB& d) { d.fAbortOnError = 1; }, ERROR_NOT_SUPPORTED, 0, 0, 0},
    {"CTS flow without RTS handshake", [](DCB& d) { d.fOutxCtsFlow = 1; }, ERROR_NOT_SUPPORTED, 0,
     0, 0},
    {"RTS handshake without CTS flow", [](DCB& d) { d.fRtsControl = RTS_CONTROL_HANDSHAKE; },
     ERROR_NOT_SUPPORTED, 0, 0, 0},
};
// clang-format on

TEST(DcbTranslation, Table) {
    for (const DcbRow& row : kDcbRows) {
        SCOPED_TRACE(row.name);
        DCB d = BaseDcb();
        row.change(d);
        EXPECT_EQ(ValidateDcb(d), row.error);
        if (row.error != 0)
            continue;
        termios t{};
        // Start from a cooked terminal: everything that is not raw must go.
        t.c_iflag = ICRNL | BRKINT | IGNBRK | INPCK | PARMRK | ISTRIP | IXANY | IGNPAR;
        t.c_oflag = OPOST | ONLCR;
        t.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
        t.c_cflag = CS7 | PARENB | HUPCL;
        ApplyDcbToTermios(d, t);
        EXPECT_EQ(cfgetospeed(&t), row.speed);
        EXPECT_EQ(cfgetispeed(&t), row.speed);
        EXPECT_EQ(t.c_cflag & kFraming, row.cflags);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF), row.iflags);
        EXPECT_EQ(t.c_iflag & (ICRNL | BRKINT | IGNBRK | INPCK | PARMRK | ISTRIP | IXANY | IGNPAR),
                  0u)
            << "a break must not flush input; bytes pass unchanged";
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
        EXPECT_EQ(t.c_cflag & HUPCL, static_cast<tcflag_t>(HUPCL)) << "left as found";
        EXPECT_EQ(t.c_cc[VSTART], 0x11);
        EXPECT_EQ(t.c_cc[VSTOP], 0x13);

        // And back: the device's termios describes the same block.
        const DCB back = DcbFromTermios(t, d, false);
        EXPECT_EQ(back.DCBlength, sizeof(DCB));
        EXPECT_EQ(back.BaudRate, d.BaudRate);
        EXPECT_EQ(back.ByteSize, d.ByteSize);
        EXPECT_EQ(back.Parity, d.Parity);
        EXPECT_EQ(back.StopBits, d.StopBits);
        EXPECT_EQ(back.fParity, d.fParity);
        EXPECT_EQ(back.fOutxCtsFlow, d.fOutxCtsFlow);
        EXPECT_EQ(back.fRtsControl, d.fRtsControl);
        EXPECT_EQ(back.fDtrControl, d.fDtrControl);
        EXPECT_EQ(back.fOutX, d.fOutX);
        EXPECT_EQ(back.fInX, d.fInX);
        EXPECT_EQ(back.XonLim, d.XonLim);
        EXPECT_EQ(back.XoffLim, d.XoffLim);
        EXPECT_EQ(back.XonChar, d.XonChar);
        EXPECT_EQ(back.XoffChar, d.XoffChar);
        EXPECT_EQ(back.fBinary, 1u);
    }
}

// ---- on a pseudo-terminal ---------------------------------------------

class CommSettings : public OpenPortTest {
protected:
    termios DeviceTermios() const {
        termios t{};
        EXPECT_EQ(::tcgetattr(pty.Master(), &t), 0); // the master reports the slave's
        return t;
    }
};

TEST_F(CommSettings, SetThenGetCommStateTable) {
    for (const DcbRow& row : kDcbRows) {
        SCOPED_TRACE(row.name);
        DCB d = BaseDcb();
        row.change(d);
        const termios before = DeviceTermios();
        SetLastError(kSentinel);
        if (row.error != 0) {
            EXPECT_FALSE(SetCommState(h, &d));
            EXPECT_EQ(GetLastError(), row.error);
            const termios after = DeviceTermios();
            EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << "nothing applied";
            continue;
        }
        ASSERT_TRUE(SetCommState(h, &d)) << GetLastError();
        EXPECT_EQ(GetLastError(), kSentinel);
        const termios t = DeviceTermios();
        EXPECT_EQ(cfgetospeed(&t), row.speed);
        EXPECT_EQ(t.c_cflag & (CSTOPB | CRTSCTS), row.cflags & (CSTOPB | CRTSCTS));
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF), row.iflags);
        // A pty forces 8 data bits and no parity; the port accepts that.
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB), static_cast<tcflag_t>(CS8));
        for (int fill : {0x00, 0xFF}) {
            SCOPED_TRACE(fill);
            DCB got;
            std::memset(&got, fill, sizeof got);
            SetLastError(kSentinel);
            ASSERT_TRUE(GetCommState(h, &got));
            EXPECT_EQ(GetLastError(), kSentinel);
            EXPECT_EQ(got.DCBlength, sizeof(DCB));
            EXPECT_EQ(got.BaudRate, d.BaudRate);
            EXPECT_EQ(got.ByteSize, d.ByteSize) << "reported as asked on a pty";
            EXPECT_EQ(got.Parity, d.Parity);
            EXPECT_EQ(got.StopBits, d.StopBits);
            EXPECT_EQ(got.fParity, d.fParity);
            EXPECT_EQ(got.fBinary, 1u);
            EXPECT_EQ(got.fDtrControl, d.fDtrControl);
            EXPECT_EQ(got.fRtsControl, d.fRtsControl);
            EXPECT_EQ(got.fOutxCtsFlow, d.fOutxCtsFlow);
            EXPECT_EQ(got.fOutxDsrFlow, 0u);
            EXPECT_EQ(got.fDsrSensitivity, 0u);
            EXPECT_EQ(got.fOutX, d.fOutX);
            EXPECT_EQ(got.fInX, d.fInX);
            EXPECT_EQ(got.fErrorChar, 0u);
            EXPECT_EQ(got.fNull, 0u);
            EXPECT_EQ(got.fAbortOnError, 0u);
            EXPECT_EQ(got.fDummy2, 0u);
            EXPECT_EQ(got.wReserved, 0u);
            EXPECT_EQ(got.XonLim, d.XonLim);
            EXPECT_EQ(got.XoffLim, d.XoffLim);
            EXPECT_EQ(got.XonChar, d.XonChar);
            EXPECT_EQ(got.XoffChar, d.XoffChar);
            EXPECT_EQ(got.ErrorChar, 0);
            EXPECT_EQ(got.EofChar, 0);
            EXPECT_EQ(got.EvtChar, 0);
            EXPECT_EQ(got.wReserved1, 0u);
        }
    }
}

TEST_F(CommSettings, OpenMakesTheLineRaw) {
    const termios t = DeviceTermios();
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & (BRKINT | IGNBRK | ICRNL | IXON), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
}

TEST_F(CommSettings, TimeoutsPropertiesQueuesAndMask) {
    COMMTIMEOUTS to;
    for (int fill : {0x00, 0xFF}) {
        std::memset(&to, fill, sizeof to);
        ASSERT_TRUE(GetCommTimeouts(h, &to));
        EXPECT_EQ(to.ReadIntervalTimeout, 0u);
        EXPECT_EQ(to.ReadTotalTimeoutMultiplier, 0u);
        EXPECT_EQ(to.ReadTotalTimeoutConstant, 0u);
        EXPECT_EQ(to.WriteTotalTimeoutMultiplier, 0u);
        EXPECT_EQ(to.WriteTotalTimeoutConstant, 0u);
    }
    // clang-format off
    const struct {
        const char* name;
        COMMTIMEOUTS value;
        DWORD error;
    } timeoutRows[] = {
        {"all zero: wait for every byte", {0, 0, 0, 0, 0}, 0},
        {"return at once with what is there", {MAXDWORD, 0, 0, 0, 0}, 0},
        {"both MAXDWORD", {MAXDWORD, MAXDWORD, 0, 0, 0}, ERROR_INVALID_PARAMETER},
        {"interval time-out", {10, 0, 0, 0, 0}, ERROR_NOT_SUPPORTED},
        {"total read time-out", {0, 1, 100, 0, 0}, ERROR_NOT_SUPPORTED},
        {"write time-out", {0, 0, 0, 0, 100}, ERROR_NOT_SUPPORTED},
    };
    // clang-format on
    for (const auto& row : timeoutRows) {
        SCOPED_TRACE(row.name);
        COMMTIMEOUTS value = row.value;
        SetLastError(kSentinel);
        EXPECT_EQ(SetCommTimeouts(h, &value), row.error == 0 ? TRUE : FALSE);
        EXPECT_EQ(GetLastError(), row.error == 0 ? kSentinel : row.error);
    }

    COMMPROP before;
    std::memset(&before, 0xFF, sizeof before);
    ASSERT_TRUE(GetCommProperties(h, &before));
    EXPECT_EQ(before.wPacketLength, sizeof(COMMPROP));
    EXPECT_EQ(before.dwServiceMask, SP_SERIALCOMM);
    EXPECT_EQ(before.dwProvSubType, PST_RS232);
    EXPECT_NE(before.dwSettableBaud & BAUD_115200, 0u);
    EXPECT_EQ(before.wSettableData, DATABITS_5 | DATABITS_6 | DATABITS_7 | DATABITS_8);
    // The buffers that hold the bytes: receiving, the line discipline's
    // 4096-byte read buffer plus the port's own 4096 bytes; sending, on a pty
    // the far end's 8192-byte flip buffer limit. Fixed, so the maximum is the
    // current size, and SetupComm (a recommendation) changes neither.
    EXPECT_EQ(before.dwCurrentRxQueue, 8192u);
    EXPECT_EQ(before.dwCurrentTxQueue, 8192u);
    EXPECT_EQ(before.dwMaxRxQueue, before.dwCurrentRxQueue);
    EXPECT_EQ(before.dwMaxTxQueue, before.dwCurrentTxQueue);
    EXPECT_EQ(before.wcProvChar[0], 0);
    ASSERT_TRUE(SetupComm(h, 20480, 10240));
    COMMPROP after;
    std::memset(&after, 0x00, sizeof after);
    ASSERT_TRUE(GetCommProperties(h, &after));
    EXPECT_EQ(after.dwCurrentRxQueue, 8192u);
    EXPECT_EQ(after.dwCurrentTxQueue, 8192u);

    DWORD mask = kSentinel;
    ASSERT_TRUE(GetCommMask(h, &mask));
    EXPECT_EQ(mask, 0u);
    ASSERT_TRUE(SetCommMask(h, 0x1F8)); // what the serial component asks for
    ASSERT_TRUE(GetCommMask(h, &mask));
    EXPECT_EQ(mask, 0x1F8u);
}

TEST_F(CommSettings, ArgumentChecks) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DCB dcb = BaseDcb();
    COMMTIMEOUTS to{};
    COMMPROP prop{};
    DWORD value = 0;
    // clang-format off
    const FailingCall rows[] = {
        {"GetCommState NULL", [&] { return GetCommState(h, nullptr); }, ERROR_INVALID_PARAMETER},
        {"SetCommState NULL", [&] { return SetCommState(h, nullptr); }, ERROR_INVALID_PARAMETER},
        {"GetCommState on an event", [&] { return GetCommState(event, &dcb); },
         ERROR_INVALID_HANDLE},
        {"SetCommState on NULL", [&] { return SetCommState(nullptr, &dcb); },
         ERROR_INVALID_HANDLE},
        {"GetCommTimeouts NULL", [&] { return GetCommTimeouts(h, nullptr); },
         ERROR_INVALID_PARAMETER},
        {"SetCommTimeouts NULL", [&] { return SetCommTimeouts(h, nullptr); },
         ERROR_INVALID_PARAMETER},
        {"SetCommTimeouts bad handle",
         [&] { return SetCommTimeouts(INVALID_HANDLE_VALUE, &to); }, ERROR_INVALID_HANDLE},
        {"GetCommProperties NULL", [&] { return GetCommProperties(h, nullptr); },
         ERROR_INVALID_PARAMETER},
        {"GetCommProperties on an event", [&] { return GetCommProperties(event, &prop); },
         ERROR_INVALID_HANDLE},
        {"SetupComm zero input queue", [&] { return SetupComm(h, 0, 1024); },
         ERROR_INVALID_PARAMETER},
        {"GetCommMask NULL", [&] { return GetCommMask(h, nullptr); }, ERROR_INVALID_PARAMETER},
        {"SetCommMask unknown bit", [&] { return SetCommMask(h, 0x2000); },
         ERROR_INVALID_PARAMETER},
        {"SetCommMask character events", [&] { return SetCommMask(h, EV_RXCHAR); },
         ERROR_NOT_SUPPORTED},
        {"SetCommMask transmit-empty", [&] { return SetCommMask(h, EV_TXEMPTY | EV_CTS); },
         ERROR_NOT_SUPPORTED},
        {"GetCommModemStatus NULL", [&] { return GetCommModemStatus(h, nullptr); },
         ERROR_INVALID_PARAMETER},
        {"EscapeCommFunction 0", [&] { return EscapeCommFunction(h, 0); },
         ERROR_INVALID_PARAMETER},
        {"EscapeCommFunction 10", [&] { return EscapeCommFunction(h, 10); },
         ERROR_INVALID_PARAMETER},
        {"EscapeCommFunction SETXOFF", [&] { return EscapeCommFunction(h, SETXOFF); },
         ERROR_NOT_SUPPORTED},
        {"EscapeCommFunction RESETDEV", [&] { return EscapeCommFunction(h, RESETDEV); },
         ERROR_NOT_SUPPORTED},
        {"PurgeComm 0", [&] { return PurgeComm(h, 0); }, ERROR_INVALID_PARAMETER},
        {"PurgeComm unknown flag", [&] { return PurgeComm(h, 0x10); }, ERROR_INVALID_PARAMETER},
        {"ClearCommError on an event", [&] { return ClearCommError(event, &value, nullptr); },
         ERROR_INVALID_HANDLE},
        {"CloseHandle of a made-up handle", [&] { return CloseHandle(reinterpret_cast<HANDLE>(0x8)); },
         ERROR_INVALID_HANDLE},
    };
    // clang-format on
    ExpectEachFails(rows);
    CloseHandle(event);
}

TEST_F(CommSettings, CreateFileArgumentChecks) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    // clang-format off
    const struct {
        const char* name;
        LPCSTR file;
        DWORD access, share;
        LPSECURITY_ATTRIBUTES sa;
        DWORD disposition, flags;
        HANDLE templ;
    } rows[] = {
        {"NULL name", nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr},
        {"no access", "\\\\.\\COM25", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr},
        {"unknown access bit", "\\\\.\\COM25", GENERIC_READ | 1, 0, nullptr, OPEN_EXISTING, 0,
         nullptr},
        {"sharing", "\\\\.\\COM25", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
         nullptr},
        {"create always", "\\\\.\\COM25", GENERIC_READ, 0, nullptr, CREATE_ALWAYS, 0, nullptr},
        {"unknown flag", "\\\\.\\COM25", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0x1, nullptr},
        {"template", "\\\\.\\COM25", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, h},
        {"inheritable", "\\\\.\\COM25", GENERIC_READ, 0, &inherit, OPEN_EXISTING, 0, nullptr},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SetLastError(kSentinel);
        EXPECT_EQ(CreateFileA(row.file, row.access, row.share, row.sa, row.disposition, row.flags,
                              row.templ),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
}

TEST_F(ComMapTest, ExclusiveOpen) {
    Pty pty;
    HANDLE first = OpenPty(pty, 26);
    ASSERT_NE(first, INVALID_HANDLE_VALUE) << GetLastError();
    for (const char* name : {"\\\\.\\COM26", "COM26"}) {
        SCOPED_TRACE(name);
        SetLastError(kSentinel);
        EXPECT_EQ(CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(pmv::platform::ExplainComError(26, GetLastError()),
                  "COM26 (" + pty.Slave() + "): already open in this program");
    }
    // The refused opens got as far as a descriptor (the holder is this very
    // process) and left the first handle's exclusive flag alone.
    {
        const int probe = ::open(pty.Slave().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (probe >= 0) { // as root; otherwise TIOCEXCL itself refuses
            int exclusive = 0;
            EXPECT_EQ(::ioctl(probe, TIOCGEXCL, &exclusive), 0);
            EXPECT_EQ(exclusive, 1);
            ::close(probe);
        }
    }
    // A plain open by another program is refused too (TIOCEXCL), unless it
    // runs as root, which only the lock stops.
    if (::geteuid() != 0) {
        const int fd = ::open(pty.Slave().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_LT(fd, 0);
        if (fd >= 0)
            ::close(fd);
    }
    ASSERT_TRUE(CloseHandle(first));
    // Closed, the port opens again, and the exclusive flag does not linger
    // on the pty (whose tty outlives the descriptor while the master is open).
    HANDLE again = CreateFileA("COM26", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(again, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(CloseHandle(again));
    const int plain = ::open(pty.Slave().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_GE(plain, 0);
    if (plain >= 0)
        ::close(plain);
}

TEST_F(ComMapTest, RefusedPermissionIsAccessDenied) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root ignores file permissions";
    Pty pty;
    ASSERT_EQ(::chmod(pty.Slave().c_str(), 0), 0);
    SetLastError(kSentinel);
    EXPECT_EQ(OpenPty(pty, 27), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

} // namespace
