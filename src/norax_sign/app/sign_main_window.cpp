#include "norax_sign/app/sign_main_window.h"

#include "common/failure.h"
#include "common/file_dialog.h"
#include "common/message_box.h"
#include "common/trace.h"
#include "envelope/binary_file.h"
#include "norax_sign/app/dialog_batch_ui.h"
#include "norax_sign/app/error_boxes.h"
#include "norax_sign/timestamp_batch.h"
#include "preview/preview.h"
#include "ui_sign_main_window.h"

#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMenu>
#include <QMimeData>
#include <QStandardItemModel>
#include <QUrl>

#include <iterator>

namespace velin {

CVelinSignDlg::CVelinSignDlg(Sign_batch_options options, QWidget* parent)
    : QDialog(parent), _ui(std::make_unique<Ui::Sign_main_window>()), _options(std::move(options))
{
    _ui->setupUi(this);
    setWindowFlag(Qt::WindowMinimizeButtonHint, true);
    connect(_ui->add_button, &QPushButton::clicked, this, &CVelinSignDlg::add_documents_from_dialog);
    connect(_ui->remove_button, &QPushButton::clicked, this, &CVelinSignDlg::remove_selected);
    connect(_ui->read_button, &QPushButton::clicked, this, &CVelinSignDlg::read_selected);
    connect(_ui->sign_button, &QPushButton::clicked, this, [this] { sign_all(); });
    connect(_ui->timestamp_button, &QPushButton::clicked, this, [this] { timestamp_all(); });
    connect(_ui->timestamp_combo, &QComboBox::currentIndexChanged, this, [this] { refresh(); });
    connect(_ui->exit_button, &QPushButton::clicked, this, &QDialog::reject);
    connect(_ui->document_list, &QListWidget::currentRowChanged, this, [this](int row) {
        if (row >= 0 && static_cast<size_t>(row) != _documents.selected())
            _documents.select(static_cast<size_t>(row));
    });
    connect(_ui->pdf_radio, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            _documents.choose_format(Signature_format::Pdf);
        refresh();
    });
    connect(_ui->xades_radio, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            _documents.choose_format(Signature_format::Xades);
        refresh();
    });
    connect(_ui->pkcs7_radio, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            _documents.choose_format(Signature_format::Pkcs7);
        refresh();
    });
    refresh();
}

CVelinSignDlg::~CVelinSignDlg() = default;

void CVelinSignDlg::refresh()
{
    const QSignalBlocker list_blocker(_ui->document_list);
    const QSignalBlocker radio_blocker(_ui->pdf_radio);
    const QSignalBlocker xades_blocker(_ui->xades_radio);
    const QSignalBlocker pkcs7_blocker(_ui->pkcs7_radio);
    _ui->document_list->clear();
    for (const std::string& path : _documents.paths())
        _ui->document_list->addItem(QString::fromStdString(path));
    if (const std::optional<size_t> selected = _documents.selected())
        _ui->document_list->setCurrentRow(static_cast<int>(*selected));

    const Sign_buttons buttons = _documents.buttons();
    _ui->read_button->setEnabled(buttons.read);
    _ui->sign_button->setEnabled(buttons.sign);
    _ui->remove_button->setEnabled(buttons.remove);
    _ui->pdf_radio->setEnabled(buttons.pdf);
    _ui->xades_radio->setEnabled(buttons.xades);
    const bool pdf = _documents.format() == Signature_format::Pdf;
    const bool xades = _documents.format() == Signature_format::Xades;
    _ui->pdf_radio->setChecked(pdf);
    _ui->xades_radio->setChecked(xades);
    _ui->pkcs7_radio->setChecked(!pdf && !xades);
    // The forms that suit the format: the document's own time stamp for a PDF, the one on the
    // signature for XAdES, the others for an envelope.
    if (auto* forms = qobject_cast<QStandardItemModel*>(_ui->timestamp_combo->model()))
        for (int row = 1; row < forms->rowCount(); ++row)
            forms->item(row)->setEnabled(xades ? row == static_cast<int>(Timestamp_form::Signature)
                                               : (row == static_cast<int>(Timestamp_form::Pdf)) == pdf);
    _ui->timestamp_combo->setItemText(static_cast<int>(Timestamp_form::Signature),
                                      xades ? "Sulla firma (XAdES-T)" : "Sulla firma (CAdES-T)");
    // The XAdES time stamp sits inside the signature it covers: it comes with "&Firma" only.
    _ui->timestamp_button->setEnabled(buttons.sign && !xades && timestamp_form() != Timestamp_form::None);
    _ui->sign_button->setDefault(buttons.sign_is_default);
    _ui->add_button->setDefault(!buttons.sign_is_default);
}

Timestamp_form CVelinSignDlg::timestamp_form() const
{
    static constexpr Timestamp_form forms[] = {Timestamp_form::None, Timestamp_form::Signature, Timestamp_form::M7m,
                                               Timestamp_form::Tsd,  Timestamp_form::Pdf,       Timestamp_form::Tsr};
    const int chosen = _ui->timestamp_combo->currentIndex();
    if (chosen < 0 || chosen >= static_cast<int>(std::size(forms)))
        return Timestamp_form::None;
    const bool pdf = _documents.format() == Signature_format::Pdf;
    if (_documents.format() == Signature_format::Xades)
        return forms[chosen] == Timestamp_form::Signature ? forms[chosen] : Timestamp_form::None;
    return (forms[chosen] == Timestamp_form::Pdf) == pdf ? forms[chosen] : Timestamp_form::None;
}

void CVelinSignDlg::set_timestamp_form(Timestamp_form form)
{
    _ui->timestamp_combo->setCurrentIndex(static_cast<int>(form));
}

void CVelinSignDlg::add_document(const std::string& path)
{
    _documents.add(path);
    refresh();
}

void CVelinSignDlg::add_documents_from_dialog()
{
    File_dialog_request request;
    request.kind = File_dialog_request::Kind::Open_many;
    request.title = "Scegli i documenti da firmare";
    request.filter = "Documenti di Microsoft Word (*.doc)";
    request.more_filters = {
        "Documenti firmati (*.p7m)", "File PDF (*.pdf)",         "Documenti XML e fatture elettroniche (*.xml)",
        "File di testo (*.txt)",     "Rich Text Format (*.rtf)", "Immagini (*.bmp;*.gif;*.jpg;*.jpeg;*.png;*.tif)",
        "Tutti i file (*.*)"};
    request.selected_filter = 7;
    for (const std::string& path : open_files_dialog(request, this))
        _documents.add(path);
    refresh();
}

void CVelinSignDlg::remove_selected()
{
    _documents.remove_selected();
    refresh();
}

void CVelinSignDlg::read_selected()
{
    const std::optional<std::string> path = _documents.selected_path();
    if (!path)
        return;
    Binary_file_read document(*path);
    if (!document.succeeded()) {
        Trace(Trace_kind, Level_info) << document.message();
        return;
    }
    Preview preview;
    if (!preview.show(Suite_caption, *path, document.value()))
        Trace(Trace_kind, Level_info) << preview.message();
    show_pending_error_boxes(this);
}

uint32_t CVelinSignDlg::sign_all()
{
    return run_batch([this](Sign_batch_ui& ui) {
        const Signature_format format = _documents.format();
        const unsigned flags = format == Signature_format::Pdf     ? Flag_pdf
                               : format == Signature_format::Xades ? Flag_xades
                                                                   : 0;
        Sign_batch_options options = _options;
        options.timestamp_form = timestamp_form();
        return sign_batch(ui, _documents.paths(), flags, {}, options);
    });
}

uint32_t CVelinSignDlg::timestamp_all()
{
    const Timestamp_form form = timestamp_form();
    if (form == Timestamp_form::None || !_options.timestamps || _documents.format() == Signature_format::Xades)
        return Result_cancelled;
    return run_batch([this, form](Sign_batch_ui& ui) {
        return timestamp_batch(ui, _documents.paths(), form, {}, *_options.timestamps);
    });
}

uint32_t CVelinSignDlg::run_batch(const std::function<uint32_t(Sign_batch_ui&)>& batch)
{
    uint32_t result = Result_cancelled;
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    try {
        Dialog_batch_ui ui(this);
        result = batch(ui);
    } catch (...) {
        trace_current_exception();
        result = Result_failed;
    }
    QGuiApplication::restoreOverrideCursor();
    show_pending_error_boxes(this);
    if (result == 0)
        accept();
    return result;
}

void CVelinSignDlg::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void CVelinSignDlg::dropEvent(QDropEvent* event)
{
    for (const QUrl& url : event->mimeData()->urls()) {
        const QString path = url.toLocalFile();
        if (!path.isEmpty() && !QFileInfo(path).isDir())
            _documents.add(path.toStdString());
    }
    refresh();
    event->acceptProposedAction();
}

void CVelinSignDlg::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu menu(this);
    menu.addSeparator();
    menu.addAction(QString::fromUtf8("&Informazioni su Velin Manager..."), this, [this] {
        message_box("Velin Manager - Firma documenti " VELIN_VERSION, MB_OK | MB_ICONINFORMATION, this,
                    "Informazioni su Velin Manager");
    });
    menu.exec(event->globalPos());
}

} // namespace velin
