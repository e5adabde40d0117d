// Writing a report to a file: the whole of it or nothing, with a text of ours when it fails.
#pragma once

#include <set>
#include <string>

namespace velin {

// Writes bytes at path through a temporary file beside it, renamed into place once whole (a
// report is never left half written, nor an earlier one lost to a failed write). Returns an empty
// text, or why it could not be written: "Il rapporto non può essere scritto in PATH: REASON."
std::string write_report_file(const std::string& path, const std::string& bytes);

// The text of a report that could not be written.
std::string report_not_written_text(const std::string& path, const std::string& reason);

// The names of the reports of several files in one folder: each named after its file with the
// extension (".pdf", ".xml") added; a name already given in this run (two files of the same name
// in different folders) gets "-2", "-3"... before the extension, so that no report overwrites
// another.
class Report_names {
public:
    Report_names(std::string folder, std::string extension)
        : _folder(std::move(folder)), _extension(std::move(extension))
    {}
    std::string take(const std::string& file);

private:
    std::string _folder;
    std::string _extension;
    std::set<std::string> _given;
};

} // namespace velin
