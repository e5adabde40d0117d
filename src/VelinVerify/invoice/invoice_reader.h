// The electronic invoice read as a person reads it: a FatturaPA document (root element
// FatturaElettronica of the current namespace or the older one, or the simplified invoice's
// FatturaElettronicaSemplificata, under any prefix) turned by our stylesheet into an HTML page, and
// its attachments decoded so that they can be saved.
// The reading never loads anything: no DTD, no entities, no network, no file; the stylesheet may
// neither read nor write anything either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velin {

// The namespaces of the root element of a FatturaPA document, current and older.
inline constexpr const char* Invoice_namespace = "http://ivaservizi.agenziaentrate.gov.it/docs/xsd/fatture/v1.2";
inline constexpr const char* Invoice_namespace_v11 = "http://www.fatturapa.gov.it/sdi/fatturapa/v1.1";
inline constexpr const char* Simplified_invoice_namespace =
    "http://ivaservizi.agenziaentrate.gov.it/docs/xsd/fatture/v1.0";

// Larger documents are not read as invoices (the exchange system accepts files of a few
// megabytes; the parser's own limits stay on).
inline constexpr size_t Invoice_max_size = 32 * 1024 * 1024;

struct Invoice_attachment {
    size_t body = 0; // 1 for the first FatturaElettronicaBody
    std::string name; // NomeAttachment as written (not a path to trust)
    std::string format; // FormatoAttachment
    std::string description; // DescrizioneAttachment
    std::string compression; // AlgoritmoCompressione
    bool decoded = false; // false: the base64 text was damaged, there is nothing to save
    std::vector<uint8_t> content;

    // A name to propose when saving: the last component of the written name, never empty, "." or "..".
    std::string file_name() const;
};

struct Invoice_reading {
    // The root element is one of an invoice.
    bool invoice = false;
    // Why an invoice could not be shown; empty when html holds the page.
    std::string failure;
    std::string version; // "1.2", "1.1", or "1.0 semplificata"
    size_t bodies = 0;
    std::string html; // the rendered page, UTF-8
    std::string xml; // the document's text as UTF-8, for the raw view
    std::vector<Invoice_attachment> attachments;
};

// A cheap look at the first bytes: could this be an invoice? False excludes it; true needs
// read_invoice to be sure.
bool looks_like_invoice(std::span<const uint8_t> head);

// The text with every line longer than width bytes cut into lines of at most width bytes, UTF-8
// sequences kept whole: a viewer lays out short lines only where they are seen, but a line of
// megabytes (an attachment's base64 text) all at once.
std::string with_long_lines_cut(std::string_view text, size_t width);

// Reads and renders; never throws for any input.
Invoice_reading read_invoice(std::span<const uint8_t> bytes);

} // namespace velin
