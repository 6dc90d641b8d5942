#include "app/HostMain.h"

#include "app/HostApplication.h"
#include "app/HostSignals.h"
#include "app/Mainfrm.h"

#include <QCoreApplication>
#include <QDir>
#include <QStringList>
#include <QTimer>

#include <cstdio>

namespace pmv {

std::unique_ptr<THostSignals> EndOnSignals(TMainForm& form) {
    return std::make_unique<THostSignals>([&form](int signal) {
        std::fputs(form.EndBySignal(signal).c_str(), stderr);
        QCoreApplication::exit(128 + signal); // modal dialogs' loops end too
    });
}

int RunHost(int& argc, char** argv, const std::function<void(TMainForm&)>& onShown) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const TCommandLineAnswer answer = AnswerCommandLine(arguments);
    std::fputs(answer.output.c_str(), stdout);
    std::fputs(answer.error.c_str(), stderr);
    if (answer.done)
        return answer.exitCode;
    if (!DisplayAvailable()) {
        std::fputs(NoDisplayMessage(), stderr);
        return kExitNoDisplay;
    }
    THostApplication app(argc, argv);
    return app.Run([&] {
        TMainForm form;
        const auto endOnSignals = EndOnSignals(form);
        form.show();
        for (const QString& line : form.MentionRecoveryCopies(QDir::currentPath()))
            std::fprintf(stderr, "pmv-host: %s\n", line.toLocal8Bit().constData());
        if (onShown)
            QTimer::singleShot(0, &form, [&] { onShown(form); });
        return app.exec();
    });
}

} // namespace pmv
