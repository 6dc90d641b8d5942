#include "dialogs/Aboutfrm.h"

#include "dialogs/AboutLogo.h"
#include "dialogs/Dlgutils.h"
#include "dialogs/JpegImage.h"

#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QShowEvent>

namespace pmv {

namespace {

QLabel* MakeLabel(QWidget* parent, const char* name, int top, int height) {
    auto* label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(8, top, 258, height);
    return label;
}

// True for the release of the left button over the widget it was pressed on.
bool IsClick(QWidget* w, const QEvent* event) {
    if (event->type() != QEvent::MouseButtonRelease)
        return false;
    const auto* me = static_cast<const QMouseEvent*>(event);
    return me->button() == Qt::LeftButton && w->rect().contains(me->position().toPoint());
}

} // namespace

TAboutForm::TAboutForm(QWidget* owner) : QDialog(owner) {
    setObjectName(QStringLiteral("AboutForm"));
    MakeFixedDialog(this, 274, 204);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Light)); // the button-highlight colour
    setPalette(pal);
    setAutoFillBackground(true);

    AboutImage = new QLabel(this);
    AboutImage->setObjectName(QStringLiteral("AboutImage"));
    AboutImage->setGeometry(56, 8, 145, 57);
    AboutImage->setScaledContents(true);
    const QImage picture = DecodeJpeg(AboutLogoJpeg, AboutLogoJpegSize);
    if (!picture.isNull())
        AboutImage->setPixmap(QPixmap::fromImage(picture));

    CompanyNameLabel = MakeLabel(this, "CompanyNameLabel", 72, 25);
    CompanyNameLabel->setAlignment(Qt::AlignCenter);
    CompanyNameLabel->setFont(DialogFont(21));
    QPalette companyPal = CompanyNameLabel->palette();
    companyPal.setColor(QPalette::Window, Qt::white);
    // Drawn in the desktop colour on a native desktop; there is no such
    // palette entry here, so the deep blue of the maker's picture stands in.
    companyPal.setColor(QPalette::WindowText, QColor(11, 46, 92));
    CompanyNameLabel->setPalette(companyPal);
    CompanyNameLabel->setAutoFillBackground(true);

    ApplicationNameLabel = MakeLabel(this, "ApplicationNameLabel", 104, 16);
    IdentityLabel = MakeLabel(this, "IdentityLabel", 120, 16);
    VersionLabel = MakeLabel(this, "VersionLabel", 136, 16);
    BuildDateLabel = MakeLabel(this, "BuildDateLabel", 152, 16);
    BuildTimeLabel = MakeLabel(this, "BuildTimeLabel", 168, 16);
    CopyrightMessageLabel = MakeLabel(this, "CopyrightMessageLabel", 184, 16);
    QPalette noticePal = CopyrightMessageLabel->palette();
    noticePal.setColor(QPalette::WindowText, noticePal.color(QPalette::ButtonText));
    CopyrightMessageLabel->setPalette(noticePal);

    for (QLabel* l : {AboutImage, CompanyNameLabel, ApplicationNameLabel, IdentityLabel,
                      VersionLabel, BuildDateLabel, BuildTimeLabel, CopyrightMessageLabel})
        l->installEventFilter(this);
    FormShow();
}

bool TAboutForm::HasPicture() const {
    return !AboutImage->pixmap().isNull();
}

void TAboutForm::FormShow() {
    setWindowTitle(QStringLiteral("About ") + FromLatin1(FApplicationName));
    CompanyNameLabel->setText(FromLatin1(FCompanyName));
    ApplicationNameLabel->setText(FromLatin1(FApplicationName));
    IdentityLabel->setText(QStringLiteral("Identity: ") + FromLatin1(FIdentity));
    VersionLabel->setText(QStringLiteral("Version: ") + FromLatin1(FVersion));
    BuildDateLabel->setText(QStringLiteral("Built: ") + FromLatin1(FBuildDate));
    BuildTimeLabel->setText(QStringLiteral("Time: ") + FromLatin1(FBuildTime));
    CopyrightMessageLabel->setText(QStringLiteral("\u00A9 %1 %2. All rights reserved.")
                                       .arg(FromLatin1(FNoticeYear), FromLatin1(FCompanyName)));
}

void TAboutForm::FormClick() {
    close();
}

void TAboutForm::FormKeyPress(int key) {
    if (key == 27)
        close();
}

void TAboutForm::showEvent(QShowEvent* event) {
    if (!event->spontaneous())
        FormShow();
    QDialog::showEvent(event);
}

void TAboutForm::mouseReleaseEvent(QMouseEvent* event) {
    if (IsClick(this, event))
        FormClick();
}

void TAboutForm::keyPressEvent(QKeyEvent* event) {
    // Only Escape closes; Enter has no default button to press here.
    const QString text = event->text();
    FormKeyPress(event->key() == Qt::Key_Escape ? 27 : (text.isEmpty() ? 0 : text[0].unicode()));
    event->accept();
}

bool TAboutForm::eventFilter(QObject* watched, QEvent* event) {
    if (auto* w = qobject_cast<QWidget*>(watched); w && IsClick(w, event)) {
        FormClick(); // the picture and each label close the box like the box itself
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

} // namespace pmv
