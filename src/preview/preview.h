// Reading and saving the document carried by an envelope: a private copy opened with the program
// the desktop associates with its type ("Leggi"), and a copy saved where the user chooses
// ("Salva..."). Window-free: the layer's window calls these and shows what they report.
#pragma once

#include "common/failure.h"

#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <string>

namespace velin {

// The user's folder for temporary copies: the private per-user folder (0700, never a link), so
// another user can neither read a copy nor plant a link where it will be written.
class Temporary_path : public Boolean_function<std::string> {
public:
    bool find();
};

// A free name in a folder: FOLDER/TITLE (i) - FILE for i = 1, 2, ...; the first one that names
// neither a file nor a folder.
class Preview_file_name : public Boolean_function<std::string> {
public:
    struct Parameters {
        std::string application_title;
        std::string file_name;
        std::string folder;
    };
    // The search gives up at last_number.
    bool find(const Parameters& param, unsigned last_number = std::numeric_limits<unsigned>::max());
};

// Opens a file with the desktop's program for its type (shell "open"); the result is the error
// code, 0 on success.
class Preview_file : public Procedure<unsigned long, 0ul, 1ul> {
public:
    bool open(const std::string& file_name);
};

// "Leggi": writes the content to a new private copy named after the document and opens it.
class Preview : public Boolean_procedure {
public:
    bool show(const std::string& application_title, const std::string& file_name, std::span<const uint8_t> content);
    // The copy made, kept also when opening it failed (it still has to be removed).
    const std::string& copy_path() const { return _copy_path; }

private:
    std::string _copy_path;
};

// Removes the copy when its layer closes. A copy that cannot be removed (on this platform an open
// viewer does not prevent it) is retried as long as ask_retry answers true; false leaves it.
// Returns true when the copy is gone (or there was none).
bool remove_preview_copy(const std::string& path, const std::function<bool()>& ask_retry);

// The text of the retry box for a copy that could not be removed.
extern const char* const preview_in_use_text;

// "Salva...": the name to write when the user confirmed `chosen` for a document whose extension
// is default_extension (without the dot): a typed extension other than the default one gets
// "." and the default appended.
std::string saved_document_name(const std::string& chosen, const std::string& default_extension);

// The extension of a file name without the dot ("" when none).
std::string extension_of(const std::string& file_name);

} // namespace velin
