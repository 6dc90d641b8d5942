// TLNKCOMIndicator: a small lamp control (round or square) that the serial
// port component switches through its Indicator routine.
//
// The lamp shows StateOn in OnColour or OffColour. With an OnTime above 0 a
// short pulse (on and at once off) keeps the lamp lit for OnTime
// milliseconds, so that single received bytes or breaks stay visible. Lives
// and is driven on the user-interface thread only.
#pragma once

#include "comport/LnkLamp.h"
#include "comport/LnkTypes.h"

#include <QWidget>
#include <cstdint>
#include <string>

class QTimer;

namespace QORLNK {

/// Colour with red in the lowest byte (0x00BBGGRR).
using TColor = std::uint32_t;

constexpr TColor clBlack = 0x000000;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clLime = 0x00FF00;

/// Lamp control; created 13 x 13 pixels.
class TLNKCOMIndicator : public QWidget, public TLNKLamp {
    Q_OBJECT
public:
    explicit TLNKCOMIndicator(QWidget* AOwner = nullptr);
    ~TLNKCOMIndicator() override;

    const std::string& Copyright() const { return FCopyright; }
    const std::string& Version() const { return FVersion; }
    TColor BorderColour() const { return FBorderColour; }
    bool BorderOn() const { return FBorderOn; }
    TIndicatorShape Shape() const { return FShape; }
    /// Pulse on-time in milliseconds, 0..5000; 0: the lamp follows StateOn.
    int OnTime() const { return FOnTime; }
    TColor OffColour() const { return FOffColour; }
    TColor OnColour() const { return FOnColour; }
    bool StateOn() const { return FStateOn; }

    /// Ignores what is written (the notice is fixed).
    void SetCopyright(const std::string&) {}
    /// Ignores what is written (the version is fixed).
    void SetVersion(const std::string&) {}
    void SetBorderColour(TColor c);
    void SetBorderOn(bool on);
    /// Only isSquare or isCircle.
    void SetShape(TIndicatorShape s);
    /// Ignored unless 0 <= t <= 5000. Going from 0 to an on-time switches a
    /// lit lamp off first; a running on-time keeps its interval.
    void SetOnTime(int t);
    void SetOffColour(TColor c);
    void SetOnColour(TColor c);
    /// Switches the lamp, stretching pulses to OnTime (see the class note).
    void SetStateOn(bool s) override;

    /// True while an on-time runs.
    bool OnTimeRunning() const { return FTimer != nullptr; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void Paint();
    void OnTimerTimer();
    void StartTimer();
    void StopTimer();

    std::string FCopyright;
    std::string FVersion;
    TColor FBorderColour = clBlack;
    bool FBorderOn = true;
    TIndicatorShape FShape = isCircle;
    int FOnTime = 0;
    TColor FOffColour = clWhite;
    TColor FOnColour = clLime;
    bool FStateOn = false;
    QTimer* FTimer = nullptr; // exists only while an on-time runs
    bool FOffPending = false; // an off request arrived during the on-time
};

} // namespace QORLNK
