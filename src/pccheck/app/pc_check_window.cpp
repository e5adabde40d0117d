#include "pccheck/app/pc_check_window.h"

#include "common/errno_text.h"
#include "common/trace.h"
#include "pccheck/app/report_folder.h"
#include "pccheck/key_value_file.h"
#include "ui_pc_check_window.h"

#include <QTimer>

#include <cstring>

namespace velin::pccheck {

namespace {

// Long enough for the window to be drawn before the first check holds the thread.
constexpr int Start_delay_ms = 200;

} // namespace

Pc_check_window::Pc_check_window(Pc_environment environment, Pc_check_settings settings, std::string report_path,
                                 QWidget* parent)
    : QDialog(parent),
      _settings(settings),
      _report(std::move(report_path)),
      _ui(std::make_unique<Ui::Pc_check_window>())
{
    _ui->setupUi(this);
    _check = std::make_unique<Pc_check>(std::move(environment), std::move(settings), _report);
    _report.on_message = [this](const std::string& text) {
        _ui->messages_box->appendPlainText(QString::fromStdString(text));
    };
    connect(_ui->exit_button, &QPushButton::clicked, this, &QDialog::accept);
    connect(_ui->open_folder_button, &QPushButton::clicked, this, &Pc_check_window::open_folder);
    connect(_ui->support_button, &QPushButton::clicked, this, &Pc_check_window::ask_support);
    QTimer::singleShot(Start_delay_ms, this, [this] {
        _report.create_empty();
        _check->start();
        QTimer::singleShot(0, this, &Pc_check_window::step);
    });
}

Pc_check_window::~Pc_check_window() = default;

void Pc_check_window::step()
{
    if (_check->run_next())
        QTimer::singleShot(0, this, &Pc_check_window::step);
    else
        end_run();
}

void Pc_check_window::end_run()
{
    _check->finish();
    if (_report.problems() != 0)
        _ui->open_folder_button->setEnabled(true);
    _ui->support_button->setEnabled(true);
    if (_report.write_error() != 0)
        _ui->messages_box->appendPlainText(QString::fromStdString("Il tracciato non può essere scritto nel file " +
                                                                  _report.path() + ": " +
                                                                  errno_text(_report.write_error())));
    _finished = true;
    emit finished_run();
}

void Pc_check_window::open_folder()
{
    open_report_folder(_report.path());
}

void Pc_check_window::ask_support()
{
    // The support desk gets the whole report; the messages alone when the file cannot be read.
    const std::optional<std::string> text = read_small_file(_report.path(), 4 * 1024 * 1024);
    Support_dialog dialog(text ? *text : _report.messages(), _settings, _support_sender, this);
    dialog.exec();
}

} // namespace velin::pccheck
