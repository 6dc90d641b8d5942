// What TLNKCOMPort needs of an indicator lamp. TLNKCOMIndicator, in the
// package's widget part, implements it, so that the port's own unit drives its
// lamps without linking to widget code (pmv_comport_core, comport/CMakeLists.txt).
#pragma once

namespace QORLNK {

class TLNKLamp {
public:
    /// Switches the lamp on or off.
    virtual void SetStateOn(bool s) = 0;

protected:
    ~TLNKLamp() = default;
};

} // namespace QORLNK
