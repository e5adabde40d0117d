#include "common/guarded_application.h"

#include "common/failure.h"
#include "common/message_box.h"
#include "common/trace.h"

#include <QLibraryInfo>
#include <QLocale>
#include <QThread>
#include <QTranslator>

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

bool load_qt_translation(QCoreApplication& application)
{
    // Qt's own windows (the file dialogs, their "replace?" question, the standard buttons) speak
    // Italian like ours, whatever the desktop's language. The catalogue is the distribution's
    // (qt6-translations-l10n); without it they stay in English.
    auto* translator = new QTranslator(&application);
    if (!translator->load(QLocale(QLocale::Italian, QLocale::Italy), "qtbase", "_",
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        Trace(Trace_kind, Level_warn) << "Traduzione italiana di Qt non trovata in "
                                      << QLibraryInfo::path(QLibraryInfo::TranslationsPath).toStdString();
        return false;
    }
    application.installTranslator(translator);
    return true;
}

Guarded_application::Guarded_application(int& argc, char** argv) : QApplication(argc, argv)
{
    load_qt_translation(*this);
}

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

Guarded_gui_application::Guarded_gui_application(int& argc, char** argv) : QGuiApplication(argc, argv) {}

bool Guarded_gui_application::notify(QObject* receiver, QEvent* event)
{
    try {
        return QGuiApplication::notify(receiver, event);
    } catch (...) {
        report_escaped(*this, Telling::Error_stream);
        return false;
    }
}

} // namespace velin
