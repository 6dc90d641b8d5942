// TGetStrForm: the one-line text entry dialog, used for renaming a page, the
// configuration title and the administrator password.
//
// The caller creates it with the caption, the initial text, the maximum
// length and the masking, runs it modally and, when it closed with OK, reads
// the text with GetValue(). The text is committed when the edit loses the
// focus and again when the dialog closes, whichever way it closes.
#pragma once

#include <QDialog>

#include <cstdint>
#include <string>

class QLineEdit;
class QPushButton;

namespace pmv {

class TGetStrForm : public QDialog {
    Q_OBJECT
public:
    // password: 1 masks the entry, any other value shows it plain.
    // maxLength: what can be typed; 0 counts as 1 and anything above 100 as 100.
    TGetStrForm(QWidget* owner, std::uint8_t password, unsigned maxLength,
                const std::string& initialText, const std::string& caption);

    // The entered text (the initial text until the edit has been committed).
    const std::string& GetValue() const { return FValue; }
    int MaxLength() const { return FMaxLength; }
    bool Password() const { return FPassword; }

    void FormShow();
    void StringEditExit();
    // OK, Cancel, Escape and the close box all end here: the text is committed first.
    void done(int result) override;

    QLineEdit* StringEdit;
    QPushButton* OkBitBtn;
    QPushButton* CancelBitBtn;

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::string FCaption;
    std::string FValue;
    int FMaxLength;
    bool FPassword;
};

// Runs a TGetStrForm modally with owner as parent. Returns true when it closed
// with OK; text then holds the entered text. On Cancel text is unchanged.
bool GetStr(QWidget* owner, const std::string& caption, std::string& text, unsigned maxLength,
            bool masked);

} // namespace pmv
