#include "dialogs/Getstrfrm.h"

#include "dialogs/Dlgutils.h"

#include <QEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QStyle>

namespace pmv {

TGetStrForm::TGetStrForm(QWidget* owner, std::uint8_t password, unsigned maxLength,
                         const std::string& initialText, const std::string& caption)
    : QDialog(owner), FCaption(caption), FValue(initialText),
      FMaxLength(maxLength == 0 ? 1 : (maxLength > 100 ? 100 : static_cast<int>(maxLength))),
      FPassword(password == 1) {
    setObjectName(QStringLiteral("GetStrForm"));
    MakeFixedDialog(this, 153, 74);

    StringEdit = new QLineEdit(this);
    StringEdit->setObjectName(QStringLiteral("StringEdit"));
    StringEdit->setGeometry(8, 8, 137, 21);
    TEditLimit::Install(StringEdit, FMaxLength);
    StringEdit->installEventFilter(this);

    OkBitBtn = new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton),
                               QStringLiteral("OK"), this);
    OkBitBtn->setObjectName(QStringLiteral("OkBitBtn"));
    OkBitBtn->setGeometry(8, 40, 65, 25);
    OkBitBtn->setDefault(true);
    connect(OkBitBtn, &QPushButton::clicked, this, &QDialog::accept);

    CancelBitBtn = new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton),
                                   QStringLiteral("Cancel"), this);
    CancelBitBtn->setObjectName(QStringLiteral("CancelBitBtn"));
    CancelBitBtn->setGeometry(80, 40, 65, 25);
    connect(CancelBitBtn, &QPushButton::clicked, this, &QDialog::reject);

    setTabOrder(StringEdit, OkBitBtn);
    setTabOrder(OkBitBtn, CancelBitBtn);
    StringEdit->setFocus();
}

void TGetStrForm::FormShow() {
    setWindowTitle(FromLatin1(FCaption));
    if (FPassword) {
        StringEdit->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"
                                                 "lineedit-password-mask-delay: 0;"));
        StringEdit->setEchoMode(QLineEdit::Password);
    } else {
        StringEdit->setEchoMode(QLineEdit::Normal);
    }
    TEditLimit::SetText(StringEdit, FromLatin1(FValue));
    StringEdit->selectAll();
}

void TGetStrForm::StringEditExit() {
    FValue = ToLatin1(StringEdit->text());
}

void TGetStrForm::done(int result) {
    StringEditExit();
    QDialog::done(result);
}

void TGetStrForm::showEvent(QShowEvent* event) {
    if (!event->spontaneous())
        FormShow();
    QDialog::showEvent(event);
}

bool TGetStrForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == StringEdit && IsControlExit(event))
        StringEditExit();
    return QDialog::eventFilter(watched, event);
}

bool GetStr(QWidget* owner, const std::string& caption, std::string& text, unsigned maxLength,
            bool masked) {
    TGetStrForm form(owner, masked ? 1 : 0, maxLength, text, caption);
    if (form.exec() != QDialog::Accepted)
        return false;
    text = form.GetValue();
    return true;
}

} // namespace pmv
