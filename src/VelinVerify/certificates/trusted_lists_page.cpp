#include "VelinVerify/certificates/trusted_lists_page.h"

#include "VelinVerify/certificates/certificate_viewer.h"
#include "common/failure.h"
#include "common/file_dialog.h"
#include "common/message_box.h"
#include "common/trace.h"
#include "trust/common_data_folder.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMetaObject>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <ctime>
#include <exception>
#include <filesystem>
#include <system_error>

namespace velin {

namespace {

constexpr int Row_index_role = Qt::UserRole;
constexpr const char* List_file_filter = "Liste di fiducia (*.xml)";

} // namespace

const char* const Offer_trusted_lists_text =
    "Su questo computer non sono ancora installate né le liste dei certificati né le liste di fiducia: senza di "
    "esse nessuna firma può risultare con validità legale.\n\nScaricare adesso le liste di fiducia?";

bool no_lists_installed(const std::string& data_folder, const std::string& list_folder)
{
    std::error_code ignored;
    const auto there = [&ignored](const std::string& path) {
        return !path.empty() && std::filesystem::exists(path, ignored);
    };
    return !there(Trusted_store::cnipa_list_path(data_folder)) && !there(Trusted_store::card_list_path(data_folder)) &&
           !(!list_folder.empty() && there(european_list_path(list_folder)));
}

bool offer_trusted_lists(QWidget* parent)
{
    if (!no_lists_installed(common_data_folder(), trusted_list_folder()))
        return false;
    if (message_box(Offer_trusted_lists_text, MB_YESNO | MB_ICONQUESTION, parent, Suite_caption) != IDYES)
        return false;
    QDialog dialog(parent);
    dialog.setObjectName("trusted_lists_offer");
    dialog.setWindowTitle("Liste di fiducia");
    auto* layout = new QVBoxLayout(&dialog);
    auto* page = new Trusted_lists_page(nullptr, &dialog);
    layout->addWidget(page);
    bool kept = false;
    QObject::connect(page, &Trusted_lists_page::refresh_finished, &dialog, [&kept, &dialog](bool succeeded) {
        kept = succeeded;
        dialog.accept();
    });
    // The same action as the page's button, once the window is up.
    QTimer::singleShot(0, page, &Trusted_lists_page::on_refresh);
    dialog.exec();
    return kept;
}

Trusted_lists_page::Trusted_lists_page(std::shared_ptr<Trusted_store> store, QWidget* parent)
    : QWidget(parent), _store(std::move(store))
{
    auto* layout = new QVBoxLayout(this);
    _summary = new QLabel(this);
    _summary->setObjectName("list_summary");
    _summary->setWordWrap(true);
    layout->addWidget(_summary);
    _services = new QTreeWidget(this);
    _services->setObjectName("trusted_list_services");
    _services->setRootIsDecorated(false);
    _services->setHeaderLabels({"Prestatore", "Servizio", "Tipo", "Stato", "Dal"});
    _services->setSortingEnabled(true);
    _services->sortByColumn(0, Qt::AscendingOrder);
    layout->addWidget(_services);
    auto* buttons = new QHBoxLayout;
    _refresh_button = new QPushButton("Aggiorna le liste", this);
    _refresh_button->setObjectName("refresh_button");
    _import_button = new QPushButton("Importa da file...", this);
    _import_button->setObjectName("import_lists_button");
    _view_button = new QPushButton("Visualizza...", this);
    _view_button->setObjectName("view_button");
    buttons->addWidget(_refresh_button);
    buttons->addWidget(_import_button);
    buttons->addStretch();
    buttons->addWidget(_view_button);
    layout->addLayout(buttons);

    connect(_refresh_button, &QPushButton::clicked, this, &Trusted_lists_page::on_refresh);
    connect(_import_button, &QPushButton::clicked, this, &Trusted_lists_page::on_import);
    connect(_view_button, &QPushButton::clicked, this, &Trusted_lists_page::on_view);
    connect(_services, &QTreeWidget::itemDoubleClicked, this, &Trusted_lists_page::on_view);
    connect(_services, &QTreeWidget::itemSelectionChanged, this, &Trusted_lists_page::update_buttons);
    show_lists(_store ? _store->trusted_lists() : nullptr);
}

Trusted_lists_page::~Trusted_lists_page()
{
    // A transfer under way ends within its polling interval; the page waits for it, so the thread
    // never reaches a page that is gone.
    _cancel = true;
    if (_worker.joinable())
        _worker.join();
}

void Trusted_lists_page::show_lists(std::shared_ptr<const Trusted_lists> lists)
{
    _shown = std::move(lists);
    QStringList lines;
    for (const std::string& line : trusted_list_summary(_shown.get(), std::time(nullptr)))
        lines << QString::fromStdString(line);
    _summary->setText(lines.join('\n'));
    _services->clear();
    _rows = _shown ? trusted_list_rows(*_shown) : std::vector<Trusted_list_row>{};
    for (size_t i = 0; i < _rows.size(); ++i) {
        const Trusted_list_row& row = _rows[i];
        auto* item = new QTreeWidgetItem({QString::fromStdString(row.provider), QString::fromStdString(row.service),
                                          QString::fromStdString(row.type), QString::fromStdString(row.status),
                                          QString::fromStdString(row.since)});
        item->setData(0, Row_index_role, static_cast<qulonglong>(i));
        _services->addTopLevelItem(item);
    }
    _services->header()->resizeSections(QHeaderView::ResizeToContents);
    update_buttons();
}

void Trusted_lists_page::update_buttons()
{
    const QList<QTreeWidgetItem*> selection = _services->selectedItems();
    bool viewable = false;
    if (!selection.isEmpty()) {
        const qulonglong index = selection.front()->data(0, Row_index_role).toULongLong();
        viewable = index < _rows.size() && _rows[index].certificate.is_valid();
    }
    _view_button->setEnabled(viewable);
    _refresh_button->setEnabled(!_running);
    _import_button->setEnabled(!_running);
}

void Trusted_lists_page::on_view()
{
    const QList<QTreeWidgetItem*> selection = _services->selectedItems();
    if (selection.isEmpty())
        return;
    const qulonglong index = selection.front()->data(0, Row_index_role).toULongLong();
    if (index >= _rows.size() || !_rows[index].certificate.is_valid())
        return;
    const Certificate shown = _rows[index].certificate;
    view_certificate_in_store(shown, _store, this);
}

void Trusted_lists_page::on_refresh()
{
    if (!_running)
        start(configured_list_sources());
}

void Trusted_lists_page::on_import()
{
    if (_running)
        return;
    File_dialog_request request;
    request.kind = File_dialog_request::Kind::Open;
    request.filter = List_file_filter;
    request.title = "Scegli la lista europea delle liste di fiducia";
    const std::optional<std::string> european = file_dialog(request, this);
    if (!european)
        return;
    request.title = "Scegli la lista di fiducia italiana";
    const std::optional<std::string> national = file_dialog(request, this);
    if (!national)
        return;
    List_sources sources;
    sources.european = *european;
    sources.national = *national;
    start(sources);
}

void Trusted_lists_page::start(List_sources sources)
{
    if (_worker.joinable())
        _worker.join();
    _running = true;
    _cancel = false;
    _summary->setText("Aggiornamento delle liste di fiducia in corso...");
    update_buttons();
    const std::string folder = trusted_list_folder();
    const std::vector<Certificate> pins = eu_list_pins(common_data_folder());
    _worker = std::thread([sources = std::move(sources), folder, pins, this] {
        Refresh_outcome outcome;
        try {
            outcome = refresh_trusted_lists(sources, folder, pins, _cancel);
        } catch (...) {
            trace_current_exception();
            outcome.lines.push_back({Refresh_line::Error, "L'aggiornamento delle liste di fiducia è fallito."});
        }
        // Delivered on the user-interface thread, and only while the page exists: its destructor
        // waits for this thread, and events for a deleted object are dropped.
        QMetaObject::invokeMethod(
            this, [this, outcome = std::move(outcome)] { finish(outcome); }, Qt::QueuedConnection);
    });
}

void Trusted_lists_page::finish(const Refresh_outcome& outcome)
{
    try {
        if (_worker.joinable())
            _worker.join();
        _running = false;
        std::string text;
        bool warning = false;
        for (const Refresh_line& line : outcome.lines) {
            text += (text.empty() ? "" : "\n") + line.text;
            warning = warning || line.kind == Refresh_line::Warning;
        }
        // The page shows what was just kept, as the next start will use it.
        std::vector<List_load_line> ignored;
        std::shared_ptr<const Trusted_lists> kept =
            outcome.succeeded ? load_trusted_lists(trusted_list_folder(), eu_list_pins(common_data_folder()),
                                                   std::time(nullptr), ignored)
                              : nullptr;
        show_lists(kept ? kept : _shown);
        const unsigned icon = !outcome.succeeded ? MB_ICONERROR : warning ? MB_ICONWARNING : MB_ICONINFORMATION;
        message_box(text, MB_OK | icon, this, Suite_caption);
        emit refresh_finished(outcome.succeeded);
    } catch (...) {
        trace_current_exception();
    }
}

} // namespace velin
