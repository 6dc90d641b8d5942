// Small helpers shared by the benchmarks: memory and processor-time readings,
// the Qt platform choice, and the Google Benchmark run itself.
#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

namespace pmvbench {

/// Resident memory of this process now, in kilobytes (0 if unreadable).
inline long ResidentKb() {
    long pages = 0, resident = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

/// Processor time used by the whole process so far, in seconds.
inline double ProcessCpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

/// Processor time used by the ended children waited for so far, in seconds.
inline double ChildrenCpuSeconds() {
    rusage r{};
    ::getrusage(RUSAGE_CHILDREN, &r);
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

/// Context switches of all threads of this process so far: the times a
/// thread gave up its processor to wait (voluntary) plus the times it was
/// taken from it (involuntary).
inline long ContextSwitches() {
    rusage r{};
    ::getrusage(RUSAGE_SELF, &r);
    return r.ru_nvcsw + r.ru_nivcsw;
}

/// The offscreen platform unless QT_QPA_PLATFORM names one.
inline void UseOffscreenByDefault() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

/// The offscreen platform only when neither QT_QPA_PLATFORM nor a display
/// (X11 or Wayland) is there; with a display the windows are shown on it.
inline void UseOffscreenWithoutDisplay() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

/// Runs the benchmarks the command line selects; 1 for an unknown argument.
inline int RunBenchmarks(int& argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

} // namespace pmvbench
