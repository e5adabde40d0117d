#include "pccheck/app/report_folder.h"

#include "common/shell_open.h"
#include "common/trace.h"

#include <QUrl>

#if defined(VELIN_HAVE_QTDBUS)
#include <QDBusConnection>
#include <QDBusMessage>
#endif

#include <cstdlib>

namespace velin::pccheck {

namespace {

bool show_with_file_manager(const std::string& report_path)
{
#if defined(VELIN_HAVE_QTDBUS)
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                                                       "org.freedesktop.FileManager1", "ShowItems");
    call << QStringList{QUrl::fromLocalFile(QString::fromStdString(report_path)).toString()} << QString();
    const QDBusMessage reply = bus.call(call, QDBus::Block, 5000);
    return reply.type() == QDBusMessage::ReplyMessage;
#else
    (void)report_path;
    return false;
#endif
}

} // namespace

bool open_report_folder(const std::string& report_path)
{
    const char* command = std::getenv("VELIN_OPEN_COMMAND");
    if ((!command || !*command) && show_with_file_manager(report_path))
        return true;
    const size_t slash = report_path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : report_path.substr(0, slash);
    const unsigned long code = shell_open(folder);
    if (code != 0)
        Trace(Trace_kind, Level_warn) << "Apertura della cartella del tracciato fallita: " << folder << " (errore "
                                      << code << ")";
    return code == 0;
}

} // namespace velin::pccheck
