#include "common/file_dialog.h"

#include <QFileDialog>
#include <QHeaderView>
#include <QTimer>
#include <QTreeView>

#include <algorithm>
#include <utility>

namespace velin {

namespace {

File_dialog_answerer& answerer()
{
    static File_dialog_answerer installed;
    return installed;
}

// A file dialog that hands each confirmed choice to the caller's check first.
class Checked_file_dialog : public QFileDialog {
public:
    Checked_file_dialog(QWidget* parent, std::function<bool(const std::string&)> accept)
        : QFileDialog(parent), _accept(std::move(accept))
    {}

    void accept() override
    {
        const QStringList files = selectedFiles();
        if (_accept && fileMode() == QFileDialog::ExistingFile && !files.isEmpty() &&
            QFileInfo(files.front()).isFile() && !_accept(files.front().toStdString()))
            return;
        QFileDialog::accept();
    }

private:
    std::function<bool(const std::string&)> _accept;
};

} // namespace

std::string qt_file_filter(const std::string& windows_filter)
{
    std::string filter = windows_filter;
    const size_t open = filter.rfind('(');
    for (size_t i = open == std::string::npos ? filter.size() : open; i < filter.size(); ++i)
        if (filter[i] == ';')
            filter[i] = ' ';
    return filter;
}

namespace {

// The detail view's column titles are longer in Italian ("Data di modifica") than Qt's default
// widths: each column is at least as wide as its title, and the dialog wide enough to show them.
void fit_column_titles(QFileDialog& dialog)
{
    auto* view = dialog.findChild<QTreeView*>("treeView");
    if (!view)
        return;
    QHeaderView* header = view->header();
    int total = 0;
    for (int i = 0; i < header->count(); ++i) {
        header->resizeSection(i, std::max(header->sectionSize(i), header->sectionSizeHint(i)));
        total += header->sectionSize(i);
    }
    // Room for the side bar and the frame beside the columns.
    const int wanted = total + dialog.width() - view->width() + view->frameWidth() * 2 + 40;
    if (dialog.width() < wanted)
        dialog.resize(wanted, dialog.height());
}

QStringList chosen_paths(const File_dialog_request& request, QWidget* parent)
{
    Checked_file_dialog dialog(parent, request.accept);
    dialog.setWindowTitle(QString::fromStdString(request.title));
    QStringList filters;
    if (!request.filter.empty())
        filters << QString::fromStdString(qt_file_filter(request.filter));
    for (const std::string& filter : request.more_filters)
        filters << QString::fromStdString(qt_file_filter(filter));
    if (!filters.isEmpty()) {
        dialog.setNameFilters(filters);
        dialog.selectNameFilter(filters.value(static_cast<int>(request.selected_filter), filters.front()));
    }
    dialog.setOption(QFileDialog::ReadOnly, false);
    // Qt's own dialog everywhere: the refusal of a choice needs its accept ().
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    if (!request.folder.empty())
        dialog.setDirectory(QString::fromStdString(request.folder));
    if (!request.default_suffix.empty())
        dialog.setDefaultSuffix(QString::fromStdString(request.default_suffix));
    switch (request.kind) {
    case File_dialog_request::Kind::Open:
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFile);
        break;
    case File_dialog_request::Kind::Open_many:
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFiles);
        break;
    case File_dialog_request::Kind::Save:
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        if (!request.proposed_name.empty())
            dialog.selectFile(QString::fromStdString(request.proposed_name));
        break;
    case File_dialog_request::Kind::Folder:
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly, true);
        break;
    }
    // Once shown, when the view has its real size.
    QTimer::singleShot(0, &dialog, [&dialog] { fit_column_titles(dialog); });
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return dialog.selectedFiles();
}

} // namespace

std::optional<std::string> file_dialog(const File_dialog_request& request, QWidget* parent)
{
    if (answerer()) {
        std::optional<std::string> answer = answerer()(request);
        if (answer && request.kind == File_dialog_request::Kind::Open && request.accept && !request.accept(*answer))
            return std::nullopt;
        return answer;
    }
    const QStringList files = chosen_paths(request, parent);
    if (files.isEmpty())
        return std::nullopt;
    return files.front().toStdString();
}

std::vector<std::string> open_files_dialog(const File_dialog_request& request, QWidget* parent)
{
    std::vector<std::string> paths;
    if (answerer()) {
        if (const std::optional<std::string> answer = answerer()(request)) {
            size_t start = 0;
            while (start <= answer->size()) {
                const size_t end = std::min(answer->find('\n', start), answer->size());
                if (end > start)
                    paths.push_back(answer->substr(start, end - start));
                start = end + 1;
            }
        }
        return paths;
    }
    for (const QString& file : chosen_paths(request, parent))
        paths.push_back(file.toStdString());
    return paths;
}

void set_file_dialog_answerer(File_dialog_answerer installed)
{
    answerer() = std::move(installed);
}

} // namespace velin
