// What a window test sees of the main window: its widgets and menu items
// found by their object names, the log's lines and the status panels' texts,
// and the operator's mouse press that selects a slot.
#pragma once

#include "app/FormWidgets.h"
#include "app/SlotPanel.h"
#include "comport/Lnkcomdlg.h"
#include "config/CmdRecord.h"
#include "dialogs/Getstrfrm.h"
#include "platform/PortStatus.h"
#include "tests/dialogs/DialogTest.h"
#include "tests/support/Wait.h"

#include <QAction>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringList>
#include <QTest>
#include <QTextBlock>
#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <ostream>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

// Texts in failure messages as text.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace apptest {

// The four widgets of a slot (index 0..191), found by name.
struct TSlotWidgets {
    QGroupBox* box = nullptr;
    QPushButton* get = nullptr;
    QPushButton* set = nullptr;
    QLineEdit* edit = nullptr;
};

inline TSlotWidgets SlotWidgets(const QObject& root, int index) {
    const QString n = QLatin1String("Cmd") + QString::number(index + 1);
    TSlotWidgets w;
    w.box = root.findChild<QGroupBox*>(n + QLatin1String("GroupBox"));
    if (w.box) {
        w.get = w.box->findChild<QPushButton*>(n + QLatin1String("GetButton"));
        w.set = w.box->findChild<QPushButton*>(n + QLatin1String("SetButton"));
        w.edit = w.box->findChild<QLineEdit*>(n + QLatin1String("Edit"));
    }
    EXPECT_TRUE(w.box && w.get && w.set && w.edit) << "slot " << index;
    return w;
}

template <class T> T* Named(const QObject& root, const char* name) {
    T* found = root.findChild<T*>(QString::fromLatin1(name));
    EXPECT_TRUE(found) << name;
    return found;
}

inline TSlotPanel* Panel(const QObject& form) {
    return Named<TSlotPanel>(form, "CmdsPageControl");
}
// The log with every line logged so far in its document (it appends in
// batches, see TLogView).
inline QPlainTextEdit* Memo(const QObject& form) {
    TLogView* memo = Named<TLogView>(form, "Memo");
    if (memo)
        memo->Flush();
    return memo;
}
inline QAction* Item(const QObject& form, const char* name) {
    return Named<QAction>(form, name);
}
inline QLabel* StatusPanel(const QObject& form, int i) {
    return form.findChild<QLabel*>(QStringLiteral("StatusPanel%1").arg(i));
}
inline QString StatusText(const QObject& form, int i) {
    const QLabel* panel = StatusPanel(form, i);
    return panel ? panel->text() : QString();
}

inline QStringList LogLines(const QObject& form) {
    QStringList lines;
    const QPlainTextEdit* memo = Memo(form);
    if (!memo || memo->document()->isEmpty())
        return lines;
    for (QTextBlock b = memo->document()->begin(); b.isValid(); b = b.next())
        lines.append(b.text());
    return lines;
}

// The operator presses the mouse on the slot's group box (its page in front).
inline void SelectSlot(const QObject& form, int index) {
    Panel(form)->setCurrentIndex(pmv::SlotPage(index));
    QTest::mouseClick(SlotWidgets(form, index).box, Qt::LeftButton, {}, QPoint(3, 3));
    EXPECT_EQ(Panel(form)->SelectedSlot(), index);
}

// A slot definition with the fields the tests mostly vary.
inline pmv::TCmdRecord Record(std::int8_t kind, const char* cmd, const char* descr = "",
                              std::uint32_t opts = 0, std::int32_t start = 0) {
    pmv::TCmdRecord r;
    r.cmd_type = kind;
    r.cmd_str = cmd;
    r.cmd_descr = descr;
    r.opts = opts;
    r.val_start = start;
    return r;
}

// "Edit Title" as the operator runs it: types title and presses OK.
inline void SetTitle(const QObject& form, const std::string& title) {
    bool answered = false;
    pmv::test::WhenModal([&](QWidget* w) {
        auto* dlg = qobject_cast<pmv::TGetStrForm*>(w);
        if (!dlg) {
            ADD_FAILURE() << "not the string entry dialog";
            w->close();
            return;
        }
        dlg->StringEdit->setText(QString::fromLatin1(title.data(), qsizetype(title.size())));
        QTest::mouseClick(dlg->OkBitBtn, Qt::LeftButton);
        answered = true;
    });
    Item(form, "EditTitle")->trigger();
    EXPECT_TRUE(answered);
}

// "&Rename" of the page popup as the operator runs it on page (0..7): types
// caption and presses OK.
inline void RenamePage(const QObject& form, int page, const std::string& caption) {
    Panel(form)->setCurrentIndex(page);
    bool answered = false;
    pmv::test::WhenModal([&](QWidget* w) {
        auto* dlg = qobject_cast<pmv::TGetStrForm*>(w);
        if (!dlg) {
            ADD_FAILURE() << "not the string entry dialog";
            w->close();
            return;
        }
        dlg->StringEdit->setText(QString::fromLatin1(caption.data(), qsizetype(caption.size())));
        QTest::mouseClick(dlg->OkBitBtn, Qt::LeftButton);
        answered = true;
    });
    Item(form, "Rename")->trigger();
    EXPECT_TRUE(answered);
}

// "&Settings" of the COM menu: change sets the settings form's lists, then OK.
// (Data bits and stop bits are read-only for the operator; their lists are
// set here all the same, as the form reads every list on OK.)
inline void ChangePortSettings(const QObject& form,
                               const std::function<void(QORLNK::TLNKCOMDlgFrm&)>& change) {
    bool answered = false;
    pmv::test::WhenModal([&](QWidget* w) {
        auto* dlg = qobject_cast<QORLNK::TLNKCOMDlgFrm*>(w);
        if (!dlg) {
            ADD_FAILURE() << "not the port settings form";
            w->close();
            return;
        }
        change(*dlg);
        QTest::mouseClick(dlg->OKButton, Qt::LeftButton);
        answered = true;
    });
    Item(form, "COMSettings")->trigger();
    EXPECT_TRUE(answered);
}

inline void ChoosePort(const QObject& form, int port) {
    ChangePortSettings(
        form, [port](QORLNK::TLNKCOMDlgFrm& f) { f.COMPortComboBoxEx->setCurrentIndex(port - 1); });
}

// Picks the list entry with the given text.
inline void Choose(QComboBox* list, const char* text) {
    const int i = list->findText(QString::fromLatin1(text));
    EXPECT_GE(i, 0) << text;
    list->setCurrentIndex(i);
}

// Another program that has a device open with a plain open (no lock, no
// exclusive flag), as a terminal program or cat would: sleep with the device
// as its standard input, and nothing else of this process's open.
class THolder {
public:
    THolder() = default;
    THolder(const THolder&) = delete;
    THolder& operator=(const THolder&) = delete;
    ~THolder() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }

    // True once the program holds the device (as the holder scan sees it).
    bool Start(const std::string& device) {
        m_pid = ::fork();
        if (m_pid == 0) {
            // Only calls that are safe after a fork of a threaded process.
            if (::syscall(SYS_close_range, 3u, ~0u, 0u) != 0)
                for (int fd = 3, last = int(::sysconf(_SC_OPEN_MAX)); fd < last; ++fd)
                    ::close(fd);
            const int fd = ::open(device.c_str(), O_RDONLY | O_NOCTTY);
            if (fd < 0 || ::dup2(fd, 0) < 0)
                ::_exit(127);
            ::execlp("sleep", "sleep", "600", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        if (m_pid < 0)
            return false;
        return pmvtest::WaitUntil([&] {
            for (const pmv::platform::DeviceHolder& h : pmv::platform::FindDeviceHolders(device))
                if (h.pid == m_pid && h.name == "sleep")
                    return true;
            return false;
        });
    }
    int Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
};

} // namespace apptest
