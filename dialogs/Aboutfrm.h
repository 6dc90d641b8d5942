// TAboutForm: the about box. It shows the maker's picture and name, the
// application's name, identity, version and build date and time, and a
// notice line, all from texts its creator sets ("???" until set). A click
// anywhere in it, Escape or the close box closes it.
#pragma once

#include <QDialog>

#include <string>

class QLabel;

namespace pmv {

class TAboutForm : public QDialog {
    Q_OBJECT
public:
    explicit TAboutForm(QWidget* owner);

    void SetCompanyName(const std::string& s) { FCompanyName = s; }
    void SetApplicationName(const std::string& s) { FApplicationName = s; }
    void SetIdentity(const std::string& s) { FIdentity = s; }
    void SetVersion(const std::string& s) { FVersion = s; }
    void SetBuildTime(const std::string& s) { FBuildTime = s; }
    void SetBuildDate(const std::string& s) { FBuildDate = s; }
    void SetNoticeYear(const std::string& s) { FNoticeYear = s; }

    const std::string& CompanyName() const { return FCompanyName; }
    const std::string& ApplicationName() const { return FApplicationName; }
    const std::string& Identity() const { return FIdentity; }
    const std::string& Version() const { return FVersion; }
    const std::string& BuildTime() const { return FBuildTime; }
    const std::string& BuildDate() const { return FBuildDate; }
    const std::string& NoticeYear() const { return FNoticeYear; }

    // True when the maker's picture could be decoded and is shown.
    bool HasPicture() const;

    void FormShow();
    void FormClick();
    // key: the character code of the key; only Escape (27) closes the box.
    void FormKeyPress(int key);

    QLabel* AboutImage;
    QLabel* CompanyNameLabel;
    QLabel* ApplicationNameLabel;
    QLabel* IdentityLabel;
    QLabel* VersionLabel;
    QLabel* BuildDateLabel;
    QLabel* BuildTimeLabel;
    QLabel* CopyrightMessageLabel;

protected:
    void showEvent(QShowEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::string FCompanyName = "???";
    std::string FApplicationName = "???";
    std::string FIdentity = "???";
    std::string FVersion = "???";
    std::string FBuildTime = "???";
    std::string FBuildDate = "???";
    std::string FNoticeYear = "???";
};

} // namespace pmv
