#include "VelinVerify/dialogs/about_dialog.h"

#include "common/launcher.h"
#include "common/message_box.h"
#include "common/shell_open.h"
#include "common/trace.h"
#include "ui_about_dialog.h"

namespace velin {

std::string license_path()
{
    return sibling_path("..\\Licenza.txt");
}

std::string help_path()
{
    return sibling_path("..\\help\\index.htm");
}

void open_help()
{
    const std::string path = help_path();
    if (const unsigned long error = shell_open(path); error != 0)
        Trace(Trace_kind, Level_error) << "L'apertura della guida in linea è fallita: " << path << " (errore " << error
                                       << ")";
}

About_dialog::About_dialog(QWidget* parent) : QDialog(parent), _ui(std::make_unique<Ui::About_dialog>())
{
    _ui->setupUi(this);
    _ui->version_label->setText(QStringLiteral("Versione " VELIN_VERSION));
    connect(_ui->license_button, &QPushButton::clicked, this, &About_dialog::on_license);
    connect(_ui->ok_button, &QPushButton::clicked, this, &QDialog::accept);
}

About_dialog::~About_dialog() = default;

void About_dialog::on_license()
{
    const std::string path = license_path();
    if (const unsigned long error = shell_open(path); error != 0) {
        Trace(Trace_kind, Level_error) << "Apertura della licenza fallita: " << path << " (errore " << error << ")";
        message_box("La visualizzazione della licenza d'uso è fallita.", MB_OK | MB_ICONERROR, this, "Errore");
    }
}

} // namespace velin
