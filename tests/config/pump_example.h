// The command set of examples/qxm300-pump.ini: a pump station with one
// QXM300 motor and pump controller on COM25 (the port the bundled target
// simulator publishes). The example file is this set as the writer writes it;
// test_examples checks that the two stay the same.
#pragma once

#include "config/ConfigFile.h"

namespace pmv::test {

inline TConfigSet PumpExample() {
    constexpr std::int32_t Black = 0x00000000;
    constexpr std::int32_t Green = 0x00008000;
    constexpr std::int32_t Red = 0x000000FF;
    constexpr std::int32_t DarkRed = 0x00000080;
    constexpr std::int32_t Navy = 0x00800000;
    constexpr std::int32_t Teal = 0x00808000;
    constexpr std::uint32_t Param = IncInSetAll | IncInGetAll | UpdateEditOnGet;
    constexpr std::uint32_t Reading = IncInGetAll | UpdateEditOnGet;

    TConfigSet s;
    s.Title = "QXM300 pump station";
    s.PageCaptions = {"Motor", "Pump", "Limits", "I/O", "Status", "Service", "Spare", "Spare 2"};
    s.ComPort = 25;
    s.BaudRate = QORLNK::br9600;
    s.DataBits = QORLNK::db8;
    s.Parity = QORLNK::paNone;
    s.StopBits = QORLNK::sb1;

    auto cmd = [&s](int slot, TCmdType kind, const char* str, const char* descr,
                    std::int32_t colour = 0, std::uint32_t opts = 0) -> TCmdRecord& {
        TCmdRecord& r = s.CmdTable[slot];
        r.cmd_type = kind;
        r.cmd_str = str;
        r.cmd_descr = descr;
        r.colour = colour;
        r.opts = opts;
        return r;
    };
    auto value = [&cmd](int slot, TCmdType kind, const char* str, const char* descr,
                        std::int32_t start, std::int32_t min, std::int32_t max, std::int32_t inc,
                        std::int32_t colour, std::uint32_t opts) {
        TCmdRecord& r = cmd(slot, kind, str, descr, colour, opts);
        r.val_start = start;
        r.val_min = min;
        r.val_max = max;
        r.val_inc = inc;
    };
    auto text = [&cmd](int slot, const char* str, const char* descr, const char* value) {
        cmd(slot, ctCommandString, str, descr).str = value;
    };

    // Page 1: Motor
    cmd(0, ctCommand, "RUN", "Run motor", Green);
    cmd(1, ctCommand, "STOP", "Stop motor", Red);
    cmd(2, ctCommand, "RESET", "Reset drive faults", Teal);
    value(3, ctCommandValue, "RAMP", "Ramp to speed [rpm]", 1500, 0, 3000, 50, Green, 0);
    value(4, ctParamGetSet, "SPD", "Speed setpoint [rpm]", 1500, 0, 3000, 50, Black,
          Param | TxOnValueChange);
    value(5, ctParamGetSet, "ACC", "Acceleration [rpm/s]", 200, 10, 5000, 10, Black, Param);
    value(6, ctParamGetSet, "DEC", "Deceleration [rpm/s]", 200, 10, 5000, 10, Black, Param);
    value(7, ctParamGetSet, "DIR", "Direction (0 fwd, 1 rev)", 0, 0, 1, 1, Black, Param);
    cmd(8, ctParamGet, "NACT", "Actual speed [rpm]", Navy, Reading);
    cmd(9, ctParamGet, "TQ", "Torque [0.1 %]", Navy, Reading);
    cmd(10, ctParamGet, "IACT", "Motor current [mA]", Navy, Reading);
    value(11, ctParamGetSet, "POLE", "Motor pole pairs", 2, 1, 12, 1, Black, Param);

    // Page 2: Pump
    cmd(24, ctCommand, "PRIME", "Prime pump", Green);
    value(25, ctCommandValue, "FLOW", "Run at flow [l/h]", 200, 0, 1200, 10, Green, 0);
    value(26, ctParamSet, "PSET", "Pressure setpoint [mbar]", 1000, 0, 6000, 100, Black,
          IncInSetAll);
    value(27, ctParamGetSet, "KP", "Pressure loop P gain", 120, 0, 1000, 5, Black, Param);
    value(28, ctParamGetSet, "KI", "Pressure loop I gain", 40, 0, 1000, 5, Black, Param);
    cmd(29, ctParamGet, "PACT", "Actual pressure [mbar]", Navy, Reading);
    cmd(30, ctParamGet, "FACT", "Actual flow [l/h]", Navy, Reading);
    value(33, ctParamGetSet, "MODE", "Control (0 speed, 1 pressure)", 1, 0, 1, 1, Black, Param);
    value(31, ctParamGetSet, "DRYT", "Dry-run trip time [s]", 10, 1, 120, 1, Black, Param);
    cmd(32, ctCommand, "PURGE", "Purge line (service only)", DarkRed, Disabled);

    // Page 3: Limits
    value(48, ctParamGetSet, "IMAX", "Current limit [mA]", 2500, 500, 16000, 100, DarkRed, Param);
    value(49, ctParamGetSet, "PMAX", "Pressure limit [mbar]", 6000, 1000, 10000, 100, DarkRed,
          Param);
    value(50, ctParamGetSet, "SMAX", "Speed limit [rpm]", 3000, 100, 3000, 50, DarkRed, Param);
    value(51, ctParamGetSet, "TLIM", "Temperature limit [C]", 80, 40, 120, 1, DarkRed, Param);
    value(52, ctParamGetSet, "VMIN", "Bus undervoltage trip [0.1 V]", 180, 100, 400, 5, DarkRed,
          Param);
    value(53, ctParamGetSet, "VMAX", "Bus overvoltage trip [0.1 V]", 280, 200, 600, 5, DarkRed,
          Param);

    // Page 4: I/O
    cmd(72, ctParamGet, "DIN", "Digital inputs", Navy, Reading);
    value(73, ctParamGetSet, "DOUT", "Digital outputs", 0, 0, 255, 1, Black, Reading);
    cmd(74, ctParamGet, "AIN1", "Analogue input 1 [mV]", Navy, Reading);
    cmd(75, ctParamGet, "AIN2", "Analogue input 2 [mV]", Navy, Reading);
    value(76, ctParamGetSet, "AOUT", "Analogue output [mV]", 0, 0, 10000, 100, Black, Param);
    value(77, ctCommandValue, "RLY", "Relay (0 off, 1 on)", 0, 0, 1, 1, Black, 0);

    // Page 5: Status
    cmd(96, ctParamGet, "STAT", "Status word", Navy, Reading);
    cmd(97, ctParamGet, "TEMP", "Heatsink temperature [C]", Navy, Reading);
    cmd(98, ctParamGet, "VBUS", "DC bus voltage [0.1 V]", Navy, Reading);
    cmd(99, ctParamGet, "ERR", "Fault code", Red, Reading);
    cmd(100, ctParamGet, "HOURS", "Run hours", Navy, Reading);
    cmd(101, ctParamGet, "VER", "Firmware version", Navy, Reading);
    cmd(102, ctCommand, "CLR", "Clear fault log", Teal);
    cmd(103, ctParamGet, "SN", "Serial number", Navy, Reading);

    // Page 6: Service
    text(120, "NAME", "Station name", "Pump station 1");
    text(121, "TAG", "Asset tag", "QX-0001");
    value(122, ctCommandValue, "ADDR", "Bus address", 1, 1, 247, 1, Black, 0);
    cmd(123, ctCommand, "SAVE", "Save parameters to flash", Teal);
    cmd(124, ctCommand, "LOAD", "Load parameters from flash", Teal);
    cmd(125, ctCommand, "DFLT", "Factory defaults", Red);
    return s;
}

} // namespace pmv::test
