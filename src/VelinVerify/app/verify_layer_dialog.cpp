#include "VelinVerify/app/verify_layer_dialog.h"

#include "VelinVerify/app/invoice_view_dialog.h"
#include "VelinVerify/certificates/certificate_viewer.h"
#include "VelinVerify/pipeline/container_listing.h"
#include "common/file_dialog.h"
#include "common/message_box.h"
#include "common/trace.h"
#include "envelope/binary_file.h"
#include "envelope/document_name.h"
#include "preview/preview.h"

#include "ui_verify_layer_dialog.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QStyle>

#include <filesystem>

namespace velin {

namespace {

// The document is read again from the signed file when it is shown or saved.
constexpr const char* Text_file_changed =
    "Il file firmato è stato modificato dopo la verifica: il documento non è più quello verificato.";

QColor background_colour(Progress_background background)
{
    switch (background) {
    case Progress_background::Red:
        return {255, 0, 0};
    case Progress_background::Yellow:
        return {255, 255, 0};
    case Progress_background::Green:
        return {0, 255, 0};
    case Progress_background::Default:
        break;
    }
    return {};
}

QColor bar_colour()
{
    const unsigned rgb = Layer_progress::Bar_colour;
    return {static_cast<int>((rgb >> 16) & 0xFF), static_cast<int>((rgb >> 8) & 0xFF), static_cast<int>(rgb & 0xFF)};
}

QString text(const std::string& value)
{
    return QString::fromStdString(value);
}

} // namespace

CVelinVerifyDlg::CVelinVerifyDlg(std::shared_ptr<Layer_analysis> layer, QWidget* parent)
    : QWidget(parent), _ui(std::make_unique<Ui::Verify_layer_dialog>()), _layer(std::move(layer))
{
    _ui->setupUi(this);
    _ui->progress_bar->set_bar_colour(bar_colour());

    // The command that empties the cache of revocation lists lives in the "Attività" list's
    // context menu, where its two lines appear.
    auto* clear_cache = new QAction(QStringLiteral("Cancella le liste di revoca scaricate"), _ui->activity_list);
    clear_cache->setObjectName(QStringLiteral("clear_crl_cache_action"));
    _ui->activity_list->addAction(clear_cache);
    connect(clear_cache, &QAction::triggered, this, [this] { clear_crl_cache(); });

    connect(_ui->signer_list, &QListWidget::currentRowChanged, this, [this](int row) {
        if (row >= 0 && static_cast<size_t>(row) < _layer->signature_count() &&
            static_cast<size_t>(row) != _layer->shown_index())
            _layer->select_signature(static_cast<size_t>(row));
    });
    connect(_ui->show_certificate_button, &QPushButton::clicked, this, [this] { show_certificate(); });
    connect(_ui->read_button, &QPushButton::clicked, this, [this] { read_document(); });
    connect(_ui->save_button, &QPushButton::clicked, this, [this] { save_document(); });

    draw_lines();
    draw_progress();
    draw_controls();
    draw_signature();
}

CVelinVerifyDlg::~CVelinVerifyDlg()
{
    close_layer();
}

QIcon CVelinVerifyDlg::severity_icon(Line_severity severity)
{
    QStyle* style = QApplication::style();
    switch (severity) {
    case Line_severity::Error:
        return style->standardIcon(QStyle::SP_MessageBoxCritical);
    case Line_severity::Question:
        return style->standardIcon(QStyle::SP_MessageBoxQuestion);
    case Line_severity::Warning:
        return style->standardIcon(QStyle::SP_MessageBoxWarning);
    case Line_severity::Information:
        return style->standardIcon(QStyle::SP_MessageBoxInformation);
    case Line_severity::Application:
        break;
    }
    const QIcon application = QApplication::windowIcon();
    return application.isNull() ? style->standardIcon(QStyle::SP_ComputerIcon) : application;
}

void CVelinVerifyDlg::fill(QListWidget* list, const std::vector<Status_line>& lines)
{
    list->clear();
    for (const Status_line& line : lines) {
        auto* item = new QListWidgetItem(severity_icon(line.severity), text(line.text), list);
        item->setData(Qt::UserRole, static_cast<int>(line.severity));
    }
    if (list->count() > 0)
        list->scrollToBottom();
}

void CVelinVerifyDlg::refresh(Layer_change change)
{
    switch (change) {
    case Layer_change::Lines:
        draw_lines();
        break;
    case Layer_change::Progress:
        draw_progress();
        break;
    case Layer_change::Controls:
        draw_controls();
        break;
    case Layer_change::Signature:
        draw_signature();
        break;
    case Layer_change::Finished:
        draw_lines();
        draw_progress();
        draw_controls();
        draw_signature();
        break;
    }
}

void CVelinVerifyDlg::draw_lines()
{
    fill(_ui->activity_list, _layer->activity());
}

void CVelinVerifyDlg::draw_progress()
{
    const Layer_progress& progress = _layer->progress();
    Text_progress_bar* bar = _ui->progress_bar;
    bar->set_range(progress.minimum, progress.maximum);
    bar->set_position(progress.position);
    bar->set_caption(text(progress.caption));
    bar->set_background(background_colour(progress.background));
}

void CVelinVerifyDlg::draw_controls()
{
    const bool decoded = _layer->controls_stage() >= 2;
    const std::vector<std::string> names = _layer->signer_names();
    QListWidget* list = _ui->signer_list;
    if (list->count() != static_cast<int>(names.size())) {
        const QSignalBlocker quiet(list);
        list->clear();
        for (const std::string& name : names)
            list->addItem(text(name));
    }
    list->setEnabled(decoded);
    _ui->show_certificate_button->setEnabled(decoded);
    // A container of several files lists them under "Leggi".
    _ui->read_button->setEnabled(_layer->content_available() || !container_listing(*_layer).empty());
    _ui->save_button->setEnabled(_layer->content_available());
    _ui->document_name->setText(text(_layer->document_name()));
}

void CVelinVerifyDlg::draw_signature()
{
    const Signature_display& shown = _layer->shown_signature();
    const std::optional<size_t> index = _layer->shown_index();
    _ui->signing_time_value->setText(index ? text(shown.signing_time) : QString());
    _ui->signature_kind_value->setText(index ? text(shown.kind) : QString());
    fill(_ui->certificate_status_list, index ? shown.status : std::vector<Status_line>{});
    if (index && static_cast<int>(*index) < _ui->signer_list->count()) {
        const QSignalBlocker quiet(_ui->signer_list);
        _ui->signer_list->setCurrentRow(static_cast<int>(*index));
    }
}

void CVelinVerifyDlg::show_certificate()
{
    const std::optional<size_t> index = _layer->shown_index();
    const auto& records = _layer->signer_records();
    if (!index || *index >= records.size() || !records[*index].certificate.is_assigned()) {
        message_box("La visualizzazione del certificato è fallita.", MB_OK | MB_ICONERROR, this, "Errore");
        return;
    }
    view_certificate(records[*index].certificate.value(), this);
}

void CVelinVerifyDlg::read_document()
{
    const Document_bytes* content = _layer->content();
    if (!content) {
        choose_container_file();
        return;
    }
    if (!_layer->content_available())
        return;
    if (!content->intact()) {
        message_box(Text_file_changed, MB_OK | MB_ICONERROR, this, Application_title);
        return;
    }
    // An electronic invoice is shown here as a page; any other document goes to the desktop's
    // program for its type.
    if (looks_like_invoice(content->head(64 * 1024))) {
        Invoice_reading invoice = read_invoice(*content);
        if (invoice.invoice) {
            auto* view =
                new Invoice_view_dialog(std::move(invoice), _layer->document_name(),
                                        std::filesystem::path(_layer->file_name()).parent_path().string(), this);
            view->setAttribute(Qt::WA_DeleteOnClose);
            view->show();
            return;
        }
    }
    show_preview(_layer->document_name(), *content);
}

void CVelinVerifyDlg::choose_container_file()
{
    const std::vector<Container_listing_entry> listing = container_listing(*_layer);
    if (listing.empty())
        return;
    QMenu menu(this);
    for (size_t i = 0; i < listing.size(); ++i)
        menu.addAction(text(listing[i].label))->setData(static_cast<qulonglong>(i));
    const QAction* chosen = menu.exec(_ui->read_button->mapToGlobal(QPoint(0, _ui->read_button->height())));
    if (chosen)
        read_container_file(static_cast<size_t>(chosen->data().toULongLong()));
}

void CVelinVerifyDlg::read_container_file(size_t index)
{
    const std::vector<Container_listing_entry> listing = container_listing(*_layer);
    if (index < listing.size())
        show_preview(file_name_part(listing[index].name), *listing[index].bytes);
}

void CVelinVerifyDlg::show_preview(const std::string& name, const Document_bytes& content)
{
    Preview preview;
    const bool shown = preview.show(Application_title, name, content);
    // Every copy is remembered, also one made but not opened: a viewer may still show an older
    // one, and none may stay behind in the temporary folder when the layer closes.
    if (!preview.copy_path().empty())
        _preview_copies.push_back(preview.copy_path());
    if (!shown)
        message_box(preview.message(), MB_OK | MB_ICONERROR, this, Application_title);
}

void CVelinVerifyDlg::save_document()
{
    const Document_bytes* content = _layer->content();
    if (!_layer->content_available() || !content)
        return;
    Trace_block block("Salvataggio del documento originale.");
    const std::string& name = _layer->document_name();
    File_dialog_request request;
    request.kind = File_dialog_request::Kind::Save;
    request.title = "Salva il documento";
    request.filter = "Tutti i file (*.*)";
    request.folder = std::filesystem::path(_layer->file_name()).parent_path().string();
    request.proposed_name = name;
    request.default_suffix = extension_of(name);
    const std::optional<std::string> chosen = file_dialog(request, this);
    if (!chosen) {
        _layer->add_activity_line(Line_severity::Information, "Salvataggio annullato.");
        return;
    }
    Binary_file_write write;
    const std::string target = saved_document_name(*chosen, request.default_suffix);
    if (!write.write(*content, target)) {
        _layer->add_activity_line(Line_severity::Error, "La scrittura su disco del documento è fallita.");
    } else if (!content->intact()) {
        // The document is read from the signed file, which changed since it was verified: what
        // was written is not the verified document.
        std::error_code ignored;
        std::filesystem::remove(target, ignored);
        _layer->add_activity_line(Line_severity::Error, Text_file_changed);
    } else {
        _layer->add_activity_line(Line_severity::Information, "Il documento è stato salvato.");
    }
}

void CVelinVerifyDlg::clear_crl_cache()
{
    _layer->clear_crl_cache();
}

void CVelinVerifyDlg::close_layer()
{
    if (_closed)
        return;
    _closed = true;
    for (const std::string& copy : _preview_copies)
        remove_preview_copy(copy, [this] {
            return message_box(preview_in_use_text, MB_RETRYCANCEL | MB_ICONINFORMATION, this, Application_title) ==
                   IDRETRY;
        });
    _preview_copies.clear();
    _layer->close();
}

} // namespace velin
