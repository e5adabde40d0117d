#include "VelinVerify/app/invoice_view_dialog.h"

#include "common/file_dialog.h"
#include "envelope/binary_file.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include <filesystem>

namespace velin {

namespace {

QString text(const std::string& value)
{
    return QString::fromStdString(value);
}

std::string attachment_line(const Invoice_attachment& attachment, size_t bodies)
{
    std::string line = attachment.name.empty() ? attachment.file_name() : attachment.name;
    if (!attachment.description.empty())
        line += " - " + attachment.description;
    if (bodies > 1)
        line += " (documento " + std::to_string(attachment.body) + ")";
    if (!attachment.decoded)
        line += " (non leggibile)";
    return line;
}

} // namespace

Invoice_browser::Invoice_browser(QWidget* parent) : QTextBrowser(parent)
{
    setOpenLinks(false);
    setOpenExternalLinks(false);
    setSearchPaths({});
}

QVariant Invoice_browser::loadResource(int, const QUrl&)
{
    return {};
}

Invoice_view_dialog::Invoice_view_dialog(Invoice_reading reading, const std::string& document_name,
                                         const std::string& folder, QWidget* parent)
    : QDialog(parent), _reading(std::move(reading)), _document_name(document_name), _folder(folder)
{
    setObjectName(QStringLiteral("invoice_view"));
    setWindowTitle(text("Fattura elettronica - " + document_name));
    resize(900, 700);

    auto* tabs = new QTabWidget(this);
    tabs->setObjectName(QStringLiteral("invoice_tabs"));
    auto* page = new Invoice_browser(tabs);
    page->setObjectName(QStringLiteral("invoice_page"));
    if (_reading.html.empty())
        page->setPlainText(text(_reading.failure));
    else
        page->setHtml(QString::fromUtf8(_reading.html.data(), static_cast<qsizetype>(_reading.html.size())));
    tabs->addTab(page, QStringLiteral("Fattura"));
    auto* raw = new QPlainTextEdit(tabs);
    raw->setObjectName(QStringLiteral("invoice_xml"));
    raw->setReadOnly(true);
    const std::string lines = with_long_lines_cut(_reading.xml, 1000);
    raw->setPlainText(QString::fromUtf8(lines.data(), static_cast<qsizetype>(lines.size())));
    tabs->addTab(raw, QStringLiteral("XML"));

    _attachments = new QListWidget(this);
    _attachments->setObjectName(QStringLiteral("attachment_list"));
    for (const Invoice_attachment& attachment : _reading.attachments)
        _attachments->addItem(text(attachment_line(attachment, _reading.bodies)));
    auto* save_attachment_button = new QPushButton(QStringLiteral("Salva allegato..."), this);
    save_attachment_button->setObjectName(QStringLiteral("save_attachment_button"));
    save_attachment_button->setEnabled(false);
    connect(_attachments, &QListWidget::currentRowChanged, save_attachment_button,
            [save_attachment_button](int row) { save_attachment_button->setEnabled(row >= 0); });
    connect(save_attachment_button, &QPushButton::clicked, this,
            [this] { save_attachment(_attachments->currentRow()); });
    connect(_attachments, &QListWidget::itemActivated, this, [this] { save_attachment(_attachments->currentRow()); });

    auto* attachments_box = new QWidget(this);
    auto* attachments_layout = new QHBoxLayout(attachments_box);
    attachments_layout->setContentsMargins(0, 0, 0, 0);
    attachments_layout->addWidget(new QLabel(QStringLiteral("Allegati:"), attachments_box), 0, Qt::AlignTop);
    attachments_layout->addWidget(_attachments, 1);
    attachments_layout->addWidget(save_attachment_button, 0, Qt::AlignTop);
    _attachments->setMaximumHeight(90);
    attachments_box->setVisible(!_reading.attachments.empty());

    _status = new QLabel(this);
    _status->setObjectName(QStringLiteral("invoice_status"));

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    auto* save_page_button = buttons->addButton(QStringLiteral("Salva come HTML..."), QDialogButtonBox::ActionRole);
    save_page_button->setObjectName(QStringLiteral("save_page_button"));
    save_page_button->setEnabled(!_reading.html.empty());
    buttons->button(QDialogButtonBox::Close)->setText(QStringLiteral("Chiudi"));
    connect(save_page_button, &QPushButton::clicked, this, [this] { save_page(); });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs, 1);
    layout->addWidget(attachments_box);
    layout->addWidget(_status);
    layout->addWidget(buttons);
}

void Invoice_view_dialog::report(const std::string& line)
{
    _status->setText(text(line));
}

void Invoice_view_dialog::save(File_dialog_request request, std::span<const uint8_t> bytes, const char* saved,
                               const char* failed)
{
    request.kind = File_dialog_request::Kind::Save;
    request.folder = _folder;
    const std::optional<std::string> chosen = file_dialog(request, this);
    if (!chosen)
        return;
    Binary_file_write write;
    report(write.write(bytes, *chosen) ? saved : failed);
}

void Invoice_view_dialog::save_attachment(int index)
{
    if (index < 0 || static_cast<size_t>(index) >= _reading.attachments.size())
        return;
    const Invoice_attachment& attachment = _reading.attachments[static_cast<size_t>(index)];
    if (!attachment.decoded) {
        report("L'allegato non è leggibile: il suo contenuto non è codificato correttamente.");
        return;
    }
    File_dialog_request request;
    request.title = "Salva l'allegato";
    request.filter = "Tutti i file (*.*)";
    request.proposed_name = attachment.file_name();
    save(request, attachment.content, "L'allegato è stato salvato.", "La scrittura su disco dell'allegato è fallita.");
}

void Invoice_view_dialog::save_page()
{
    if (_reading.html.empty())
        return;
    File_dialog_request request;
    request.title = "Salva la fattura come pagina HTML";
    request.filter = "Pagina HTML (*.html)";
    request.proposed_name = std::filesystem::path(_document_name).filename().replace_extension(".html").string();
    request.default_suffix = "html";
    save(request, {reinterpret_cast<const uint8_t*>(_reading.html.data()), _reading.html.size()},
         "La fattura è stata salvata come pagina HTML.", "La scrittura su disco della pagina è fallita.");
}

} // namespace velin
