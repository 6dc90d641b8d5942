// ThreadSanitizer suppression for this test binary (used only when it is
// built with -fsanitize=thread).
//
// QThread signals its end through a QWaitCondition while holding a QMutex.
// Qt's QMutex is futex based and the system's Qt is not instrumented, so when
// a worker has already finished before QThread::wait() is called, the
// sanitizer cannot see that the worker's last broadcast happens before the
// QThread (and its condition) is destroyed, and reports a race inside
// ~QWaitCondition. Only that frame is suppressed.
extern "C" const char* __tsan_default_suppressions() {
    return "race:QWaitCondition::~QWaitCondition\n";
}
