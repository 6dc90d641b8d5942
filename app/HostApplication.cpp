#include "app/HostApplication.h"

#include "app/Icons.h"
#include "app/Mainfrm.h"

#include <QMessageBox>
#include <QStringDecoder>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <exception>

THostApplication::THostApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QString::fromLatin1(pmv::ApplicationTitle));
    setApplicationVersion(QStringLiteral("%1.%2").arg(pmv::VersionMajor).arg(pmv::VersionMinor));
    setWindowIcon(pmv::MakeIcon(pmv::TIcon::Application));
    QFont f = font();
    f.setPointSize(8);
    setFont(f);
}

bool THostApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        ShowException(pmv::ExceptionText(e.what()));
    } catch (...) {
        ShowException(QString());
    }
    return false;
}

int THostApplication::Run(const std::function<int()>& body) {
    try {
        return body();
    } catch (const std::exception& e) {
        ShowException(pmv::ExceptionText(e.what()));
    } catch (...) {
        ShowException(QString());
    }
    return 0;
}

void THostApplication::ShowException(const QString& message) {
    if (FErrorBoxDepth > 0) {
        std::fprintf(stderr, "%s: %s\n", pmv::ApplicationTitle, message.toLocal8Bit().constData());
        return;
    }
    ++FErrorBoxDepth;
    struct TDepthGuard {
        int& depth;
        ~TDepthGuard() { --depth; }
    } guard{FErrorBoxDepth};
    QMessageBox::critical(activeWindow(), QString::fromLatin1(pmv::ApplicationTitle), message);
}

namespace pmv {

namespace {

bool IsSet(const char* value) {
    return value && *value;
}

} // namespace

bool DisplayAvailable(const char* qpaPlatform, const char* display, const char* waylandDisplay) {
    return IsSet(qpaPlatform) || IsSet(display) || IsSet(waylandDisplay);
}

bool DisplayAvailable() {
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    return DisplayAvailable(std::getenv("QT_QPA_PLATFORM"), std::getenv("DISPLAY"),
                            std::getenv("WAYLAND_DISPLAY"));
#else
    return true; // the desktop is always there
#endif
}

const char* NoDisplayMessage() {
    return "pmv-host: no display found (none of DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM is "
           "set).\n"
           "Run it on a desktop, or under a virtual display:\n"
           "    xvfb-run -a pmv-host\n";
}

QString ExceptionText(const char* what) {
    if (!what)
        return {};
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8(QByteArrayView(what));
    if (!utf8.hasError())
        return text;
    return QString::fromLatin1(what);
}

void ShowError(const QString& message) {
    if (auto* app = qobject_cast<THostApplication*>(QCoreApplication::instance())) {
        app->ShowException(message);
        return;
    }
    QMessageBox::critical(QApplication::activeWindow(), QString::fromLatin1(ApplicationTitle),
                          message);
}

void RunGuarded(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        ShowError(ExceptionText(e.what()));
    } catch (...) {
        ShowError(QString());
    }
}

int RunHost(int& argc, char** argv, const std::function<void(TMainForm&)>& onShown) {
    if (!DisplayAvailable()) {
        std::fputs(NoDisplayMessage(), stderr);
        return 1;
    }
    THostApplication app(argc, argv);
    return app.Run([&] {
        TMainForm form;
        form.show();
        if (onShown)
            QTimer::singleShot(0, &form, [&] { onShown(form); });
        return app.exec();
    });
}

} // namespace pmv
