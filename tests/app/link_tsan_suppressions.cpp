// ThreadSanitizer suppressions for test_app_link (used only when it is built
// with -fsanitize=thread).
//
// The tests show the window, so Qt paints it, and Qt's raster code hands large
// image operations to its thread pool. Qt is not instrumented and
// synchronises with futex-based primitives the sanitizer cannot see, so it
// sees only the allocations, frees and copies those threads make through the
// intercepted C library calls, and reports every hand-over as a race. These
// interceptors are ignored when Qt's own libraries call them; the accesses of
// the program's code, the serial component's workers included, stay checked.
// (QThread's end-of-thread wake-up inside ~QWaitCondition is the same case.)
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libQt6Gui.so.6\n"
           "called_from_lib:libQt6Core.so.6\n"
           "race:QWaitCondition::~QWaitCondition\n";
}
