#include "VelinVerify/certificates/certificate_viewer.h"

#include "common/failure.h"
#include "common/message_box.h"
#include "common/trace.h"
#include "ui_certificate_viewer.h"

#include <QApplication>
#include <QTreeWidgetItem>

#include <ctime>
#include <exception>

namespace velin {

namespace {

constexpr int Path_index_role = Qt::UserRole;

// The wait cursor while the viewer is being prepared; never while it waits for the user.
class Wait_cursor {
public:
    Wait_cursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~Wait_cursor() { restore(); }
    Wait_cursor(const Wait_cursor&) = delete;
    Wait_cursor& operator=(const Wait_cursor&) = delete;

    void restore()
    {
        if (_active) {
            QApplication::restoreOverrideCursor();
            _active = false;
        }
    }

private:
    bool _active = true;
};

QString qt(const std::string& text)
{
    return QString::fromStdString(text);
}

void report_view_failure()
{
    message_box(Certificate_view_failed_text, MB_ICONERROR, nullptr, "Errore");
}

// The cursor is restored before the viewer waits for the user.
void show_viewer(const Certificate& certificate, const std::shared_ptr<Trusted_store>& store, QWidget* parent,
                 Wait_cursor& cursor)
{
    if (!certificate.is_valid() || !store || !store->merged_store()) {
        Trace(Trace_kind, Level_trace) << "Il certificato o la lista dei certificati non sono disponibili.";
        cursor.restore();
        report_view_failure();
        return;
    }
    std::unique_ptr<Certificate_viewer> viewer;
    try {
        viewer = std::make_unique<Certificate_viewer>(certificate, store, parent);
    } catch (const std::exception& error) {
        // A certificate that cannot be shown never takes the program down with it.
        Trace(Trace_kind, Level_error) << error.what();
        cursor.restore();
        report_view_failure();
        return;
    }
    cursor.restore();
    viewer->exec();
}

} // namespace

void view_certificate(const Certificate& certificate, QWidget* parent)
{
    Wait_cursor cursor;
    show_viewer(certificate, certificate.is_valid() ? shared_trusted_store() : nullptr, parent, cursor);
}

void view_certificate_in_store(const Certificate& certificate, const std::shared_ptr<Trusted_store>& store,
                               QWidget* parent)
{
    Wait_cursor cursor;
    show_viewer(certificate, store, parent, cursor);
}

Certificate_viewer::Certificate_viewer(const Certificate& certificate, std::shared_ptr<Trusted_store> store,
                                       QWidget* parent)
    : QDialog(parent),
      _certificate(certificate),
      _store(std::move(store)),
      _ui(std::make_unique<Ui::Certificate_viewer>())
{
    assertion(_certificate.is_valid(), "certificate.is_valid ()");
    assertion(_store && _store->merged_store(), "merged_store () ne NULL");
    _ui->setupUi(this);
    fill_general();
    fill_details();
    fill_path();
    connect(_ui->details_table, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        _ui->details_text->setPlainText(item ? item->data(0, Qt::UserRole).toString() : QString());
    });
    connect(_ui->path_tree, &QTreeWidget::itemSelectionChanged, this, &Certificate_viewer::on_path_selection);
    connect(_ui->path_tree, &QTreeWidget::itemDoubleClicked, this, &Certificate_viewer::on_view_path_certificate);
    connect(_ui->view_path_certificate_button, &QPushButton::clicked, this,
            &Certificate_viewer::on_view_path_certificate);
    connect(_ui->ok_button, &QPushButton::clicked, this, &QDialog::accept);
    _ui->pages->setCurrentIndex(0);
}

Certificate_viewer::~Certificate_viewer() = default;

void Certificate_viewer::fill_general()
{
    const Certificate_general general = certificate_general(_certificate);
    _ui->issued_to_value->setText(qt(general.issued_to));
    _ui->issued_by_value->setText(qt(general.issued_by));
    _ui->valid_from_value->setText(qt(general.valid_from));
    _ui->valid_to_value->setText(qt(general.valid_to));
    for (const std::string& use : general.intended_uses)
        _ui->intended_uses_list->addItem(qt(use));
}

void Certificate_viewer::fill_details()
{
    for (const Certificate_field& field : certificate_fields(_certificate)) {
        auto* item = new QTreeWidgetItem(_ui->details_table, {qt(field.name), qt(field.value)});
        item->setData(0, Qt::UserRole, qt(field.full_text));
        item->setToolTip(1, qt(field.value));
    }
    _ui->details_table->resizeColumnToContents(0);
}

void Certificate_viewer::fill_path()
{
    _path = certification_path(*_store, _certificate);
    QTreeWidgetItem* parent = nullptr;
    for (size_t i = 0; i < _path.certificates.size(); ++i) {
        const Certificate& certificate = _path.certificates[i];
        const QStringList text{qt(certificate.display_name())};
        auto* item = parent ? new QTreeWidgetItem(parent, text) : new QTreeWidgetItem(_ui->path_tree, text);
        item->setData(0, Path_index_role, static_cast<qulonglong>(i));
        parent = item;
    }
    _ui->path_tree->expandAll();
    // The certificate itself is selected at first, as it is the one the dialog is about.
    if (parent)
        _ui->path_tree->setCurrentItem(parent);
    on_path_selection();
}

void Certificate_viewer::on_path_selection()
{
    const QTreeWidgetItem* item = _ui->path_tree->currentItem();
    if (!item) {
        _ui->status_text->clear();
        _ui->view_path_certificate_button->setEnabled(false);
        return;
    }
    const size_t index = item->data(0, Path_index_role).toULongLong();
    _ui->status_text->setPlainText(qt(certification_status_text(_path, index, std::time(nullptr))));
    // The certificate shown here needs no second window.
    _ui->view_path_certificate_button->setEnabled(index + 1 < _path.certificates.size());
}

void Certificate_viewer::on_view_path_certificate()
{
    const QTreeWidgetItem* item = _ui->path_tree->currentItem();
    if (!item)
        return;
    const size_t index = item->data(0, Path_index_role).toULongLong();
    if (index + 1 >= _path.certificates.size())
        return;
    view_certificate_in_store(_path.certificates[index], _store, this);
}

} // namespace velin
