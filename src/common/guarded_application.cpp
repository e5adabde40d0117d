#include "common/guarded_application.h"

#include "common/failure.h"
#include "common/message_box.h"
#include "common/trace.h"

#include <QThread>

#include <iostream>

namespace velin {

const char* const Unexpected_error_text = "Si è verificato un errore.";

namespace {

enum class Telling { Box, Error_stream };

// Called in the catch block: the ERROR record of what escaped, then the user is told, once.
void report_escaped(const QCoreApplication& application, Telling telling)
{
    try {
        trace_current_exception();
        // Only the user-interface thread may show a box; and while one is up for an earlier
        // failure, a further one is only traced, so a fault that repeats cannot stack boxes.
        static thread_local bool telling_now = false;
        if (telling_now)
            return;
        telling_now = true;
        struct Reset {
            ~Reset() { telling_now = false; }
        } reset;
        if (telling == Telling::Box && QThread::currentThread() == application.thread())
            message_box(Unexpected_error_text, MB_OK | MB_ICONERROR, nullptr, Suite_caption);
        else
            std::cerr << Unexpected_error_text << '\n';
    } catch (...) {
        // Telling the user failed too: the trace is all there is.
    }
}

} // namespace

Guarded_application::Guarded_application(int& argc, char** argv) : QApplication(argc, argv) {}

bool Guarded_application::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        report_escaped(*this, Telling::Box);
        return false;
    }
}

Guarded_core_application::Guarded_core_application(int& argc, char** argv) : QCoreApplication(argc, argv) {}

bool Guarded_core_application::notify(QObject* receiver, QEvent* event)
{
    try {
        return QCoreApplication::notify(receiver, event);
    } catch (...) {
        report_escaped(*this, Telling::Error_stream);
        return false;
    }
}

} // namespace velin
