#include "norax_sign/app/dialog_batch_ui.h"

#include "common/file_dialog.h"
#include "common/message_box.h"
#include "norax_sign/app/card_dialogs.h"
#include "norax_sign/app/error_boxes.h"
#include "norax_sign/pdf_card_signer.h"

#include <QApplication>

#include <filesystem>

namespace velin {

Dialog_batch_ui::Dialog_batch_ui(QWidget* parent) : _parent(parent) {}

Dialog_batch_ui::~Dialog_batch_ui() = default;

std::optional<std::string> Dialog_batch_ui::choose_output_folder()
{
    File_dialog_request request;
    request.kind = File_dialog_request::Kind::Folder;
    request.title = "Scegli la cartella dove vuoi salvare il documento firmato:";
    return file_dialog(request, QApplication::activeWindow());
}

std::optional<Found_card> Dialog_batch_ui::find_card()
{
    InsertCardDialog dialog(_parent);
    const int result = dialog.run();
    show_pending_errors();
    if (result != IDOK)
        return std::nullopt;
    return Found_card{dialog.search().card(), dialog.search().reader_name(), dialog.search().reader_index()};
}

std::optional<Pin_text> Dialog_batch_ui::enter_pin(const Found_card& card)
{
    Dlg_Pin dialog(card.card, _parent);
    const int result = dialog.run();
    show_pending_errors();
    if (result != IDOK)
        return std::nullopt;
    return dialog.take_pin();
}

int Dialog_batch_ui::ask(const std::string& text, unsigned flags)
{
    return message_box(text, flags, _parent, Suite_caption);
}

std::optional<std::string> Dialog_batch_ui::save_as(const std::string& proposed_path, bool pdf)
{
    File_dialog_request request;
    request.kind = File_dialog_request::Kind::Save;
    request.title = "Salva il documento firmato";
    const bool xml = QString::fromStdString(proposed_path).endsWith(".xml", Qt::CaseInsensitive);
    request.filter = pdf ? "File PDF (*.pdf)" : xml ? "File XML (*.xml)" : "File PKCS#7 (*.p7m)";
    request.more_filters = {"Tutti i file (*.*)"};
    const std::filesystem::path proposed(proposed_path);
    request.folder = proposed.parent_path().string();
    request.proposed_name = proposed.filename().string();
    return file_dialog(request, _parent);
}

void Dialog_batch_ui::progress(size_t index, size_t count, const std::string& path)
{
    if (count < 2)
        return;
    if (index >= count) {
        _progress.reset();
        return;
    }
    if (!_progress) {
        _progress = std::make_unique<QProgressDialog>(_parent);
        _progress->setWindowTitle(QString::fromUtf8(Suite_caption));
        _progress->setCancelButton(nullptr);
        _progress->setRange(0, static_cast<int>(count));
        _progress->setMinimumDuration(500);
        _progress->setWindowModality(Qt::WindowModal);
    }
    _progress->setLabelText(QString::fromUtf8("Firma di %1 (%2 di %3)...")
                                .arg(QString::fromStdString(std::filesystem::path(path).filename().string()))
                                .arg(index + 1)
                                .arg(count));
    _progress->setValue(static_cast<int>(index));
}

void Dialog_batch_ui::show_pending_errors()
{
    show_pending_error_boxes();
}

Signer_factory program_signers(QWidget* parent)
{
    return [parent](const Found_card& card, unsigned flags) -> std::unique_ptr<Card_signer> {
        if (flags & Flag_pdf)
            return std::make_unique<Pdf_card_signer>(card.reader_index, card.reader_name,
                                                     [parent](const std::string& text, unsigned box_flags) {
                                                         return message_box(text, box_flags, parent, Suite_caption);
                                                     });
        if (flags & Flag_xades)
            return std::make_unique<Xades_card_signer>(card.reader_name);
        return std::make_unique<Pkcs7_card_signer>(card.reader_name);
    };
}

} // namespace velin
