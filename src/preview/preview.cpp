#include "preview/preview.h"

#include "common/shell_open.h"
#include "common/trace.h"
#include "envelope/binary_file.h"
#include "envelope/document_name.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

namespace velin {

const char* const preview_in_use_text =
    "Una copia temporanea del documento è ancora aperta per la lettura.\n\nPer poterla cancellare occorre chiudere "
    "l'applicazione che la sta visualizzando.\n\nChiudi l'applicazione e clicca su Riprova per cancellare la copia "
    "adesso,\noppure su Annulla per lasciare la copia nella cartella temporanea.";

bool Temporary_path::find()
{
    std::string folder = private_runtime_folder();
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    if (folder.empty()) {
        set_error("Cartella temporanea non disponibile.");
        return false;
    }
    set_value(folder);
    return true;
}

bool Preview_file_name::find(const Parameters& param, unsigned last_number)
{
    assertion(!param.application_title.empty(), "not param.application_title.empty ()");
    assertion(!param.file_name.empty(), "not param.file_name.empty ()");
    assertion(!param.folder.empty(), "not param.folder.empty ()");
    for (unsigned i = 1; i < last_number; ++i) {
        std::string candidate =
            param.folder + "/" + param.application_title + " (" + std::to_string(i) + ") - " + param.file_name;
        struct stat status {};
        // lstat: a dangling link is a taken name too.
        if (::lstat(candidate.c_str(), &status) != 0 && errno == ENOENT) {
            set_value(std::move(candidate));
            return true;
        }
    }
    set_error("Nessun nome libero.");
    return false;
}

bool Preview_file::open(const std::string& file_name)
{
    assertion(!file_name.empty(), "not is_empty (file_name)");
    assertion(std::filesystem::exists(file_name), "PathFileExists (file_name)");
    set_result(shell_open(file_name));
    if (!succeeded())
        set_error(system_error_text(static_cast<uint32_t>(result())));
    return succeeded();
}

bool Preview::show(const std::string& application_title, const std::string& file_name, std::span<const uint8_t> content)
{
    assertion(!application_title.empty(), "not is_empty (application_title)");
    assertion(!file_name.empty(), "not is_empty (file_name)");
    _copy_path.clear();

    Temporary_path folder;
    if (!folder.find()) {
        set_error("Impossibile trovare la cartella temporanea per la creazione di una copia del documento.");
        return false;
    }
    // The document's own name may come from the envelope: only its last component is used, so it
    // cannot lead the copy out of the private folder.
    std::string name = std::filesystem::path(file_name).filename().string();
    if (name.empty() || name == "." || name == "..")
        name = Fallback_document_name;
    Preview_file_name free_name;
    if (!free_name.find({application_title, name, folder.value()})) {
        set_error("Impossibile generare un nome univoco per il documento.");
        return false;
    }
    Binary_file_write write;
    if (!write.write(content, free_name.value(), Binary_file_write::Private_copy)) {
        set_error("Errore durante la scrittura su disco della copia da visualizzare.");
        return false;
    }
    _copy_path = free_name.value();
    Preview_file opener;
    if (!opener.open(_copy_path)) {
        Trace(Trace_kind, Level_error) << "Apertura della copia fallita: errore " << opener.result() << ".";
        set_error("Errore durante la visualizzazione del file.");
        return false;
    }
    set_result(true);
    return true;
}

bool remove_preview_copy(const std::string& path, const std::function<bool()>& ask_retry)
{
    if (path.empty())
        return true;
    while (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        Trace(Trace_kind, Level_info) << "Cancellazione della preview fallita: " << error_code_from_errno(errno);
        if (!ask_retry || !ask_retry())
            return false;
    }
    // A viewer that still shows the copy keeps its own view of it; the name is gone.
    Trace(Trace_kind, Level_info) << "Copia temporanea del documento cancellata: " << path;
    return true;
}

std::string extension_of(const std::string& file_name)
{
    const std::string name = std::filesystem::path(file_name).filename().string();
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0)
        return {};
    return name.substr(dot + 1);
}

std::string saved_document_name(const std::string& chosen, const std::string& default_extension)
{
    if (default_extension.empty())
        return chosen;
    const std::string typed = extension_of(chosen);
    const auto lower = [](std::string text) {
        for (char& c : text)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        return text;
    };
    if (!typed.empty() && lower(typed) == lower(default_extension))
        return chosen;
    return chosen + "." + default_extension;
}

} // namespace velin
