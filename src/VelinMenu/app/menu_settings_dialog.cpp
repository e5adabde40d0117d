#include "VelinMenu/app/menu_settings_dialog.h"

#include "common/launcher.h"
#include "common/message_box.h"
#include "common/settings_record.h"
#include "ui_menu_settings_dialog.h"

#include <QFileDialog>

#include <algorithm>
#include <filesystem>

namespace velin {

namespace {

Menu_settings_dialog::Folder_chooser folder_chooser;

std::string browse_for_folder(QWidget* owner, const std::string& title)
{
    return QFileDialog::getExistingDirectory(owner, QString::fromStdString(title)).toStdString();
}

} // namespace

std::vector<std::string> java_runtime_homes(const std::string& root)
{
    std::vector<std::string> homes;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(root, error))
        if (std::filesystem::is_regular_file(entry.path() / "release", error))
            homes.push_back(entry.path().string());
    std::sort(homes.begin(), homes.end());
    homes.erase(std::unique(homes.begin(), homes.end()), homes.end());
    return homes;
}

void Menu_settings_dialog::set_folder_chooser(Folder_chooser chooser)
{
    folder_chooser = std::move(chooser);
}

Menu_settings_dialog::Menu_settings_dialog(Settings_record& settings, QWidget* parent)
    : QDialog(parent), _settings(settings), _ui(std::make_unique<Ui::Menu_settings_dialog>())
{
    _ui->setupUi(this);
    _ui->parallel_signature_box->setChecked(settings.FirmaParallela);
    _ui->updates_box->setChecked(settings.Aggiornamenti);
    for (const std::string& home : java_runtime_homes())
        _ui->java_home_combo->addItem(QString::fromStdString(home));
    _ui->java_home_combo->setEditText(QString::fromStdString(settings.JavaHome));
    connect(_ui->check_now_button, &QPushButton::clicked, this, [] { start_update_run(false); });
    connect(_ui->browse_button, &QPushButton::clicked, this, &Menu_settings_dialog::on_browse);
    connect(_ui->ok_button, &QPushButton::clicked, this, &Menu_settings_dialog::on_ok);
    connect(_ui->cancel_button, &QPushButton::clicked, this, &QDialog::reject);
}

Menu_settings_dialog::~Menu_settings_dialog() = default;

void Menu_settings_dialog::on_browse()
{
    const std::string title = "Scegli la cartella dove è installato Java:";
    const std::string folder = folder_chooser ? folder_chooser(this, title) : browse_for_folder(this, title);
    if (!folder.empty())
        _ui->java_home_combo->setEditText(QString::fromStdString(folder));
}

void Menu_settings_dialog::on_ok()
{
    const bool parallel = _ui->parallel_signature_box->isChecked();
    const bool updates = _ui->updates_box->isChecked();
    const std::string java_home = _ui->java_home_combo->currentText().toStdString();
    if (parallel != _settings.FirmaParallela || updates != _settings.Aggiornamenti || java_home != _settings.JavaHome) {
        _settings.FirmaParallela = parallel;
        _settings.Aggiornamenti = updates;
        _settings.JavaHome = java_home;
        save_all_settings(_settings);
    }
    accept();
}

} // namespace velin
