// The About box (name, version, the license) and the help page, both found beside the program's
// folder: "../Licenza.txt" and "../help/index.htm".
#pragma once

#include <QDialog>

#include <memory>
#include <string>

namespace Ui {
class About_dialog;
}

namespace velin {

// The files, relative to the running program's folder, without "..".
std::string license_path();
std::string help_path();

// Opens the help page with the desktop's program; a failure is only traced.
void open_help();

class About_dialog : public QDialog {
    Q_OBJECT

public:
    explicit About_dialog(QWidget* parent = nullptr);
    ~About_dialog() override;

private:
    // Opens the license with the desktop's program; on failure the error box
    // "La visualizzazione della licenza d'uso è fallita." titled "Errore".
    void on_license();

    std::unique_ptr<Ui::About_dialog> _ui;
};

} // namespace velin
