#include "common/guarded_application.h"

#include "common/message_box.h"
#include "common/trace.h"

#include <QThread>

#include <exception>
#include <iostream>
#include <string>

namespace velin {

const char* const Unexpected_error_text = "Si è verificato un errore.";

namespace {

enum class Telling { Box, Error_stream };

// The text of the exception being handled; called inside a catch block only.
std::string current_exception_text()
{
    try {
        throw;
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "eccezione sconosciuta";
    }
}

void report_escaped(const QCoreApplication& application, const std::string& text, Telling telling)
{
    try {
        Trace(Trace_kind, Level_error) << "Eccezione non gestita durante la gestione di un evento: " << text;
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
        report_escaped(*this, current_exception_text(), Telling::Box);
        return false;
    }
}

Guarded_core_application::Guarded_core_application(int& argc, char** argv) : QCoreApplication(argc, argv) {}

bool Guarded_core_application::notify(QObject* receiver, QEvent* event)
{
    try {
        return QCoreApplication::notify(receiver, event);
    } catch (...) {
        report_escaped(*this, current_exception_text(), Telling::Error_stream);
        return false;
    }
}

} // namespace velin
