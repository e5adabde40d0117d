// The menu's settings: parallel signature, update notices (and "check now"), the Java runtime.
#pragma once

#include <QDialog>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Ui {
class Menu_settings_dialog;
}

namespace velin {

class Settings_record;

// Home folders of the Java runtimes installed under `root` (each folder holding a "release"
// file), sorted, each once.
std::vector<std::string> java_runtime_homes(const std::string& root = "/usr/lib/jvm");

class Menu_settings_dialog : public QDialog {
    Q_OBJECT

public:
    // Asks the user for a folder; returns an empty text when nothing was chosen.
    using Folder_chooser = std::function<std::string(QWidget* owner, const std::string& title)>;

    Menu_settings_dialog(Settings_record& settings, QWidget* parent = nullptr);
    ~Menu_settings_dialog() override;

    // Tests replace the folder browser; an empty function restores it.
    static void set_folder_chooser(Folder_chooser chooser);

private:
    void on_ok();
    void on_browse();

    Settings_record& _settings;
    std::unique_ptr<Ui::Menu_settings_dialog> _ui;
};

} // namespace velin
