#include "app/HostMain.h"

#include "app/HostApplication.h"
#include "app/Mainfrm.h"

#include <QStringList>
#include <QTimer>

#include <cstdio>

namespace pmv {

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
        form.show();
        if (onShown)
            QTimer::singleShot(0, &form, [&] { onShown(form); });
        return app.exec();
    });
}

} // namespace pmv
