// The main window's side of the target link: the view through which the
// request engine (app/link) shows its results on the window's widgets. The
// port and the reply timer are bound by pmv::TPortLink (app/link/PortLink.h).
//
// Everything here runs on the user-interface thread.
#pragma once

#include "app/link/PortWatch.h"
#include "app/link/RequestEngine.h"

#include <QString>

#include <functional>
#include <string>

class QAction;
class QObject;
class TLogView;
class TSlotPanel;
class TStatusLine;

// The log, the status bar's counter panels, the Options check marks and the
// slot edits as the engine's view.
class TFormLinkView : public pmv::TLinkView {
public:
    struct TWidgets {
        TLogView* log = nullptr;
        TStatusLine* status = nullptr; // counts in panels 2 (Tx), 4 (Rx), 6 (Rx TO)
        // The three Options items, read when they matter.
        QAction* showTransmissions = nullptr;
        QAction* showUnframedReceptions = nullptr;
        QAction* showCommandDescription = nullptr;
        TSlotPanel* panel = nullptr;
        QObject* context = nullptr; // queued error boxes end with it
    };

    explicit TFormLinkView(const TWidgets& widgets) : m_widgets(widgets) {}

    void AppendLog(std::string_view line) override;
    void ShowCount(pmv::TLinkCounter counter, int value) override;
    bool ShowTransmissions() const override { return Checked(m_widgets.showTransmissions); }
    bool ShowUnframedReceptions() const override {
        return Checked(m_widgets.showUnframedReceptions);
    }
    bool ShowCommandDescription() const override {
        return Checked(m_widgets.showCommandDescription);
    }
    std::string EditText(int index) const override;
    void SetEditText(int index, std::string_view text) override;
    // Shown in the application's standard error box, queued: the error may
    // come up while a reply is processed inside the port's receive event,
    // where a modal box would hold the receive thread and the rest of the
    // reply path until it is closed.
    void ConvertError(const std::string& message) override;

private:
    static bool Checked(const QAction* item);

    TWidgets m_widgets;
};

// The port watch on the window: its lines in the log, the port's state in
// status panel 0 ("COM25 lost"; the open port's settings once it is open
// again; "COM closed" when it did not open).
class TFormWatchView : public pmv::TPortWatch::TView {
public:
    TFormWatchView(TLogView* log, TStatusLine* status, std::function<QString()> openPortText)
        : m_log(log), m_status(status), m_openPortText(std::move(openPortText)) {}

    void AppendLog(const std::string& line) override;
    void ShowPortState(pmv::TPortWatch::TState state, int com) override;

private:
    TLogView* m_log;
    TStatusLine* m_status;
    std::function<QString()> m_openPortText;
};

// A line from the platform layer (device paths, process names) for the log,
// in the file system's encoding.
QString DeviceText(const std::string& line);

// Virtual key code of a Qt key for the engine's CmdEditKey: Up, Down, and
// Return or Enter; 0 for any other key.
int VirtualKeyOf(int qtKey);
