#include "VelinMenu/app/menu_dialog.h"

#include "VelinMenu/app/menu_settings_dialog.h"
#include "VelinMenu/app/pin_dialogs.h"
#include "common/launcher.h"
#include "common/message_box.h"
#include "common/version.h"
#include "ui_menu_dialog.h"

#include <QContextMenuEvent>
#include <QMenu>

namespace velin {

CVelinMenuDlg::CVelinMenuDlg(Settings_record& settings, QWidget* parent)
    : QDialog(parent), _settings(settings), _ui(std::make_unique<Ui::Menu_dialog>())
{
    _ui->setupUi(this);
    setWindowTitle(QString::fromStdString("Velin Manager " + std::string(Suite_version)));
    _timer.setInterval(Poll_period_ms);
    connect(&_timer, &QTimer::timeout, this, &CVelinMenuDlg::poll_program);

    connect(_ui->sign_button, &QPushButton::clicked, this, [this] { launch("velin-sign"); });
    connect(_ui->verify_button, &QPushButton::clicked, this, [this] { launch("velin-verify"); });
    connect(_ui->pc_check_button, &QPushButton::clicked, this, [this] { launch("velin-pccheck"); });
    connect(_ui->card_data_button, &QPushButton::clicked, this, [this] { launch("velin-dati-carta"); });
    connect(_ui->change_pin_button, &QPushButton::clicked, this, [this] {
        Pin_change_dialog dialog(this);
        run_pin_dialog(dialog);
    });
    connect(_ui->unblock_pin_button, &QPushButton::clicked, this, [this] {
        Pin_unblock_dialog dialog(this);
        run_pin_dialog(dialog);
    });
    connect(_ui->settings_button, &QPushButton::clicked, this, [this] {
        Menu_settings_dialog dialog(_settings, this);
        dialog.exec();
    });
    connect(_ui->exit_button, &QPushButton::clicked, this, &QDialog::reject);
}

CVelinMenuDlg::~CVelinMenuDlg() = default;

bool CVelinMenuDlg::launch(const std::string& target)
{
    std::unique_ptr<Sibling_process> program = start_sibling(target);
    if (!program)
        return false;
    // Only the newest program is followed; an older one runs on by itself.
    _program = std::move(program);
    if (!_timer.isActive()) {
        _saved_geometry = frameGeometry();
        move(_saved_geometry.left() - _saved_geometry.right() - 1000, _saved_geometry.bottom() - _saved_geometry.top());
        hide();
    }
    _timer.start();
    return true;
}

void CVelinMenuDlg::poll_program()
{
    if (_program && !_program->finished())
        return;
    _timer.stop();
    _program.reset();
    move(_saved_geometry.topLeft());
    show();
}

void CVelinMenuDlg::run_pin_dialog(QDialog& dialog)
{
    hide();
    dialog.exec();
    show();
}

void CVelinMenuDlg::contextMenuEvent(QContextMenuEvent* event)
{
    // The window's own menu: the place of the "about" item on every desktop.
    QMenu menu(this);
    menu.addSeparator();
    menu.addAction(QString::fromUtf8("&Informazioni su Velin Manager..."), this, &CVelinMenuDlg::show_about);
    menu.exec(event->globalPos());
}

void CVelinMenuDlg::show_about()
{
    message_box("Velin Manager " + std::string(Suite_version), MB_OK | MB_ICONINFORMATION, this,
                "Informazioni su Velin Manager");
}

} // namespace velin
