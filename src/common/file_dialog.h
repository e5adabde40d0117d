// The open and save dialogs of the desktop programs. Tests install an answerer that receives what
// the dialog would show and returns the chosen path, so no test waits on a modal dialog.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

class QWidget;

namespace velin {

struct File_dialog_request {
    // Open_many: several existing files (open_files_dialog); Folder: an existing folder.
    enum class Kind { Open, Save, Open_many, Folder };

    Kind kind = Kind::Open;
    std::string title;
    // One filter in the Windows form: description, then the ";"-separated patterns in
    // parentheses, e.g. "Certificato X509 (*.cer;*.crt)".
    std::string filter;
    // Further filters after the first, and the one shown first (0: filter).
    std::vector<std::string> more_filters;
    size_t selected_filter = 0;
    std::string folder; // initial folder; empty: the dialog's own choice
    std::string proposed_name; // Save: the name proposed
    std::string default_suffix; // without the dot; empty: none
    // Open: a confirmed file is handed here first; false keeps the dialog open.
    std::function<bool(const std::string& path)> accept;
};

// The chosen path (an existing file for Open; Save asks before overwriting and needs an existing
// folder), or nothing when the user cancelled. With an answerer installed, the answer is
// returned as it is, except that an Open answer refused by accept counts as cancelled.
std::optional<std::string> file_dialog(const File_dialog_request& request, QWidget* parent = nullptr);

// Open_many: the chosen files, none when the user cancelled. An answerer answers them as one text,
// the paths separated by new lines.
std::vector<std::string> open_files_dialog(const File_dialog_request& request, QWidget* parent = nullptr);

using File_dialog_answerer = std::function<std::optional<std::string>(const File_dialog_request& request)>;
// Installs the answerer (empty: real dialogs again).
void set_file_dialog_answerer(File_dialog_answerer answerer);

// "Certificato X509 (*.cer;*.crt)" as Qt writes filters: "Certificato X509 (*.cer *.crt)".
std::string qt_file_filter(const std::string& windows_filter);

} // namespace velin
