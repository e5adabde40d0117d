// The signer window's list of documents and what its buttons may do, without widgets: the dialog
// draws it and forwards clicks here.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace velin {

enum class Signature_format { Pkcs7 = 0, Pdf = 1, Xades = 2 };

struct Sign_buttons {
    bool read = false; // "&Leggi..."
    bool sign = false; // "&Firma"
    bool remove = false; // "&Rimuovi"
    bool pdf = false; // "Adobe PDF"
    bool xades = false; // "XML (XAdES)"
    bool sign_is_default = false; // else "&Aggiungi..." is the default button
};

class Sign_document_list {
public:
    // Appends the path and selects it, unless the list holds it already (compared without regard
    // to case). True when added.
    bool add(const std::string& path);
    // Removes the selected path; the one now at its place is selected, or the last.
    void remove_selected();
    void select(std::optional<size_t> index);

    const std::vector<std::string>& paths() const { return _paths; }
    std::optional<size_t> selected() const { return _selected; }
    std::optional<std::string> selected_path() const;

    // "Adobe PDF" can be chosen only while every listed path ends in ".pdf", "XML (XAdES)" only
    // while every one ends in ".xml"; otherwise the format falls back to PKCS#7.
    void choose_format(Signature_format format);
    Signature_format format() const { return _format; }

    Sign_buttons buttons() const;

private:
    bool all_pdf() const;
    bool all_xml() const;
    // PKCS#7 when the listed paths no longer allow the format chosen.
    void keep_format_possible();

    std::vector<std::string> _paths;
    std::optional<size_t> _selected;
    Signature_format _format = Signature_format::Pkcs7;
};

} // namespace velin
