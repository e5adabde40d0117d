#include "common/file_dialog.h"

#include <QFileDialog>

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
    {
    }

    void accept() override
    {
        const QStringList files = selectedFiles();
        if (_accept && fileMode() == QFileDialog::ExistingFile && !files.isEmpty()
            && QFileInfo(files.front()).isFile() && !_accept(files.front().toStdString()))
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

std::optional<std::string> file_dialog(const File_dialog_request& request, QWidget* parent)
{
    if (answerer()) {
        std::optional<std::string> answer = answerer()(request);
        if (answer && request.kind == File_dialog_request::Kind::Open && request.accept && !request.accept(*answer))
            return std::nullopt;
        return answer;
    }

    Checked_file_dialog dialog(parent, request.accept);
    dialog.setWindowTitle(QString::fromStdString(request.title));
    dialog.setNameFilter(QString::fromStdString(qt_file_filter(request.filter)));
    dialog.setOption(QFileDialog::ReadOnly, false);
    // Qt's own dialog everywhere: the refusal of a choice needs its accept ().
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    if (!request.folder.empty())
        dialog.setDirectory(QString::fromStdString(request.folder));
    if (!request.default_suffix.empty())
        dialog.setDefaultSuffix(QString::fromStdString(request.default_suffix));
    if (request.kind == File_dialog_request::Kind::Open) {
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFile);
    } else {
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        if (!request.proposed_name.empty())
            dialog.selectFile(QString::fromStdString(request.proposed_name));
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().front().toStdString();
}

void set_file_dialog_answerer(File_dialog_answerer installed)
{
    answerer() = std::move(installed);
}

} // namespace velin
