#include "VelinVerify/dialogs/log_report.h"

#include "common/file_io.h"
#include "common/launcher.h"
#include "common/trace.h"
#include "ui_log_report_dialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QProcess>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velin {

const char* const Pc_check_tool_name = "Velin Manager - Verifica PC";

namespace {

constexpr const char* Report_copy_name = "Velin_Manager_RAPPORTO_ATTIVITA.log";
constexpr int Poll_interval_ms = 100;

// The busy cursor for as long as the tool runs, restored on every way out.
class Busy_cursor {
public:
    Busy_cursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~Busy_cursor() { QApplication::restoreOverrideCursor(); }
    Busy_cursor(const Busy_cursor&) = delete;
    Busy_cursor& operator=(const Busy_cursor&) = delete;
};

} // namespace

std::string activity_report_path()
{
    const std::string folder = private_runtime_folder();
    return folder.empty() ? std::string(Report_copy_name) : folder + "/" + Report_copy_name;
}

bool copy_log_file(const std::string& source, const std::string& destination)
{
    if (source.empty() || destination.empty())
        return false;
    Descriptor_handle input(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!input)
        return false;
    // Non-blocking only for the open: a FIFO planted at the name must not hang the program.
    Descriptor_handle output(
        ::open(destination.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600));
    if (!output)
        return false;
    struct stat info {};
    if (::fstat(output.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid())
        return false;
    const int flags = ::fcntl(output.get(), F_GETFL);
    if (flags < 0 || ::fcntl(output.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
        return false;
    // A copy left by someone else's umask keeps no wider rights than the log itself.
    if (::fchmod(output.get(), 0600) != 0 || ::ftruncate(output.get(), 0) != 0)
        return false;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t count = ::read(input.get(), buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return false;
        if (count == 0)
            return true;
        if (!write_all(output.get(), std::string_view(buffer, static_cast<size_t>(count))))
            return false;
    }
}

void run_activity_report(QWidget* parent)
{
    const std::string log = trace_current_path();
    const std::string copy = activity_report_path();
    if (!copy_log_file(log, copy))
        Trace(Trace_kind, Level_info) << "Copia del file di log fallita: " << copy;
    Dialog_log_report dialog(copy, parent);
    dialog.exec();
}

Dialog_log_report::Dialog_log_report(std::string log_copy_path, QWidget* parent)
    : QDialog(parent), _log_copy_path(std::move(log_copy_path)), _ui(std::make_unique<Ui::Dialog_log_report>())
{
    _ui->setupUi(this);
    _ui->explanation_label->setText(
        QString::fromUtf8("L'applicazione genererà un tracciamento dell'attività. L'operazione potrebbe richiedere "
                          "qualche minuto.\n\nAl termine del tracciamento verrà aperta la cartella contenente il "
                          "rapporto delle attività."));
    connect(_ui->generate_button, &QPushButton::clicked, this, &Dialog_log_report::on_generate);
    connect(_ui->cancel_button, &QPushButton::clicked, this, &QDialog::reject);
}

Dialog_log_report::~Dialog_log_report() = default;

void Dialog_log_report::closeEvent(QCloseEvent* event)
{
    if (_tool_running)
        event->ignore();
    else
        QDialog::closeEvent(event);
}

void Dialog_log_report::on_generate()
{
    QProcess tool;
    tool.setProgram(QString::fromStdString(sibling_path(Pc_check_tool_name)));
    tool.setArguments({QString::fromStdString(_log_copy_path)});
    // The tool talks to the user through its own windows; nothing it prints is ours to read, and
    // a pipe nobody empties could stall it.
    tool.setProcessChannelMode(QProcess::ForwardedChannels);
    tool.setInputChannelMode(QProcess::ForwardedInputChannel);
    tool.start();
    if (!tool.waitForStarted()) {
        Trace(Trace_kind, Level_info) << "Avvio dello strumento di verifica fallito: " << tool.program().toStdString();
        return;
    }
    {
        const Busy_cursor busy;
        _tool_running = true;
        // The window keeps painting, but takes no input until the tool has ended.
        while (tool.state() != QProcess::NotRunning) {
            tool.waitForFinished(Poll_interval_ms);
            QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        }
        _tool_running = false;
    }
    accept();
}

} // namespace velin
