// The command panel of the main window (`CmdsPageControl`): 8 tab pages of 24
// slots, each slot a group box with a Get button, a Set button and an edit
// (Cmd<N>GroupBox, Cmd<N>GetButton, Cmd<N>SetButton, Cmd<N>Edit for slot index
// N - 1).
//
// The panel shows the records it is given; the command set itself belongs to
// its owner. It keeps the slot selection and reports what the operator does
// on a slot, with the slot index, through its signals:
//
//   SelectedSlot()     the slot last pressed with any mouse button on any of
//                      its four widgets, or the slot whose widget had the focus
//                      when its context menu was asked for from the keyboard
//                      (menu key, Shift+F10); a click from the keyboard leaves
//                      it. 0 at start.
//   GetClicked(i)      the Get button was clicked (mouse or keyboard)
//   SetClicked(i)      the Set button was clicked
//   EditExited(i)      the edit lost the focus to another control of the window
//   EditKeyPressed(i, key)  a key was pressed in the edit (a Qt::Key); the edit
//                      handles the key as well afterwards
//   SlotMenuRequested  the slot popup was asked for on a slot's group box, or
//                      on one of its widgets that is disabled; SelectedSlot()
//                      is that slot by then
//   PageMenuRequested  the page popup was asked for on the tabs or on a page
//                      outside the slots; a right click on a tab makes that
//                      page current first
#pragma once

#include "config/CmdRecord.h"

#include <QColor>
#include <QTabWidget>

#include <array>
#include <memory>
#include <string>

class QGroupBox;
class QLineEdit;
class QPushButton;

class TSlotPanel : public QTabWidget {
    Q_OBJECT

public:
    static constexpr int kNumericEditMaxLength = 6;
    static constexpr int kStringEditMaxLength = 80;

    explicit TSlotPanel(QWidget* parent = nullptr);
    ~TSlotPanel() override;

    // Brings the slot's four widgets in line with record (see the window's
    // ShowSlot for the rules). An index outside 0..191 does nothing.
    void ShowSlot(int index, const pmv::TCmdRecord& record);
    // Empties and disables the two buttons.
    void ClearSlot(int index);

    QString EditText(int index) const;
    // Writes the text whole: the edits limit only what is typed (6
    // characters, 80 for a string slot), not what the program shows.
    void SetEditText(int index, const QString& text);
    int EditMaxLength(int index) const;

    // Font colour of the slot's caption (the group box title).
    QColor CaptionColour(int index) const;
    void SetCaptionColour(int index, const QColor& colour);

    int SelectedSlot() const { return m_selectedSlot; }

    // Page captions as 8-bit texts.
    std::string PageCaption(int page) const;
    void SetPageCaption(int page, const std::string& caption);

signals:
    void GetClicked(int index);
    void SetClicked(int index);
    void EditExited(int index);
    void EditKeyPressed(int index, int key);
    void SlotMenuRequested(const QPoint& globalPos);
    void PageMenuRequested(const QPoint& globalPos);

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    // What a slot widget knows of its panel: nothing once the panel's own
    // part is gone (the toolkit takes the widgets down after that).
    struct TTie {
        TSlotPanel* panel;
    };
    template <class TWidget> class TSlotWidget;
    class TSlotBox;
    class TSlotButton;
    class TSlotEdit;

    struct TSlot {
        QGroupBox* box = nullptr;
        TSlotBox* titledBox = nullptr; // the same box, with its style option
        QPushButton* get = nullptr;
        QPushButton* set = nullptr;
        QLineEdit* edit = nullptr;
        QString caption;
        QRgb captionRgb = 0;
        bool captionColourSet = false;
    };

    void BuildSlot(int index, QWidget* page);
    void SetCaption(int index, const QString& caption);
    void ShowCaptionTip(int index);
    // What every slot widget does with an event first; true when it is taken.
    bool SlotEvent(int index, QWidget* widget, QEvent* event);

    std::shared_ptr<TTie> m_tie;
    std::array<TSlot, pmv::kSlotCount> m_slots{};
    QStyle* m_style = nullptr;
    int m_selectedSlot = 0;
};
