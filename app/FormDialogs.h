// The modal questions and file dialogs of the main window. A member that is
// set answers in place of the toolkit's box or dialog: a caller (a test, an
// automation) puts its own answers in; an empty member shows the real one.
#pragma once

#include <QString>

#include <functional>

class QWidget;

struct TMainFormDialogs {
    // Warning box with the given QMessageBox::StandardButtons; returns the
    // button chosen (closing the box gives its escape button, Cancel).
    std::function<int(const QString& text, int buttons)> Warning;
    // Open dialog for a configuration file: the chosen existing file, or
    // an empty text when cancelled.
    std::function<QString()> OpenConfigFile;
    // Save dialog starting with fileName: the chosen path, or an empty text
    // when cancelled.
    std::function<QString(const QString& fileName)> SaveConfigFile;
    // Open dialog for a configuration to compare with, starting in folder.
    std::function<QString(const QString& folder)> OpenCompareFile;
    // Save dialog for a text file (the log, the traffic window's rows) with
    // the given caption: the chosen path, or an empty text when cancelled.
    std::function<QString(const QString& caption)> SaveTextFile;

    // Each asks its member when set, else the toolkit with parent as owner.
    int AskWarning(QWidget* parent, const QString& text, int buttons) const;
    QString AskOpenConfigFile(QWidget* parent) const;
    QString AskSaveConfigFile(QWidget* parent, const QString& fileName) const;
    QString AskOpenCompareFile(QWidget* parent, const QString& folder) const;
    QString AskSaveTextFile(QWidget* parent, const QString& caption) const;
};

// Writes text as UTF-8 to path, replacing the file atomically as a
// configuration is saved. Empty when written, else the message for the
// operator: "Cannot create file <path>: <the system's reason>".
QString WriteTextFile(const QString& path, const QString& text);
