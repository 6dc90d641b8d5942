#include "app/MainfrmLinkAdapters.h"

#include "app/FormWidgets.h"
#include "app/HostApplication.h"
#include "app/SlotPanel.h"
#include "dialogs/Dlgutils.h"

#include <QAction>
#include <QFile>
#include <QTimer>

void TFormLinkView::AppendLog(std::string_view line) {
    m_widgets.log->AppendLatin1(line);
}

void TFormLinkView::ShowCount(pmv::TLinkCounter counter, int value) {
    int panel = 2;
    switch (counter) {
    case pmv::TLinkCounter::Tx:
        break;
    case pmv::TLinkCounter::Rx:
        panel = 4;
        break;
    case pmv::TLinkCounter::RxTimeout:
        panel = 6;
        break;
    }
    m_widgets.status->SetPanel(panel, QString::number(value));
}

bool TFormLinkView::Checked(const QAction* item) {
    return item && item->isChecked();
}

std::string TFormLinkView::EditText(int index) const {
    return pmv::ToLatin1(m_widgets.panel->EditText(index));
}

void TFormLinkView::SetEditText(int index, std::string_view text) {
    // An edit that shows the text already stays as it is; no new string is
    // made for it (Get All reads the same values again and again).
    if (m_widgets.panel->EditText(index) == QLatin1StringView(text.data(), qsizetype(text.size())))
        return;
    m_widgets.panel->SetEditText(index, pmv::FromLatin1(text));
}

void TFormLinkView::ConvertError(const std::string& message) {
    const QString text = pmv::FromLatin1(message);
    QTimer::singleShot(0, m_widgets.context, [text] { pmv::ShowError(text); });
}

void TFormWatchView::AppendLog(const std::string& line) {
    m_log->AppendLine(DeviceText(line));
}

void TFormWatchView::ShowPortState(pmv::TPortWatch::TState state, int com) {
    switch (state) {
    case pmv::TPortWatch::TState::Lost:
        m_status->SetPanel(0, QStringLiteral("COM%1 lost").arg(com));
        break;
    case pmv::TPortWatch::TState::Reopened:
        m_status->SetPanel(0, m_openPortText());
        break;
    case pmv::TPortWatch::TState::GaveUp:
        m_status->SetPanel(0, QStringLiteral("COM closed"));
        break;
    }
}

QString DeviceText(const std::string& line) {
    return QFile::decodeName(QByteArray(line.data(), qsizetype(line.size())));
}

int VirtualKeyOf(int qtKey) {
    switch (qtKey) {
    case Qt::Key_Up:
        return pmv::vkUp;
    case Qt::Key_Down:
        return pmv::vkDown;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return pmv::vkReturn;
    default:
        return 0;
    }
}
