// The programs' application objects. Qt cannot carry an exception out of an event handler or a
// slot: one that escapes would end the process and lose every open window. Each event is
// delivered inside a guard instead; what escapes is written to the trace as an ERROR record and
// the user is told "Si è verificato un errore.", and the program goes on.
#pragma once

#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>

namespace velin {

// Windowed programs: the failure is shown in the suite's error box; Qt's own windows speak
// Italian.
class Guarded_application : public QApplication {
public:
    Guarded_application(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// Programs without windows (batch runs): the failure goes to the standard error stream.
class Guarded_core_application : public QCoreApplication {
public:
    Guarded_core_application(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// Programs without windows that still lay out text with fonts (the PDF reports of a batch run),
// on whatever platform QT_QPA_PLATFORM names ("offscreen" without a screen): as above.
class Guarded_gui_application : public QGuiApplication {
public:
    Guarded_gui_application(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// Installs Qt's Italian catalogue in the application (windowed programs do it on creation);
// false when the catalogue is not installed.
bool load_qt_translation(QCoreApplication& application);

// "Si è verificato un errore."
extern const char* const Unexpected_error_text;

} // namespace velin
