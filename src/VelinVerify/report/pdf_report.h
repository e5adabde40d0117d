// The "Rapporto di verifica": the printable report of one verified file that a clerk attaches to
// the record. Made as HTML (tables that break across pages) laid out by QTextDocument and painted
// on a paged device: a PDF/A-1b file through QPdfWriter, or a printer. Every page carries the
// file's SHA-256 and its number. Needs a QGuiApplication (fonts); no widgets.
#pragma once

#include "VelinVerify/app/batch_report.h"
#include "VelinVerify/report/report_facts.h"

#include <QByteArray>
#include <QString>

#include <optional>

#include <string>

class QPagedPaintDevice;

namespace velin {

// The outcome in words a citizen understands.
std::string plain_outcome(const Batch_report& report);

// The body of the report.
QString report_html(const Batch_report& report, const Report_facts& facts, const Report_context& context);

// Paints the report on device, page after page; false when the device cannot be painted on.
bool paint_report(QPagedPaintDevice& device, const Batch_report& report, const Report_facts& facts,
                  const Report_context& context);

// The report as the bytes of a PDF/A-1b file; none when the pages could not be made.
std::optional<QByteArray> pdf_report(const Batch_report& report, const Report_facts& facts,
                                     const Report_context& context);

// Writes the report as a PDF/A-1b file at path, replacing it only once it is whole. Returns an
// empty text, or why it could not be written (Italian).
std::string write_pdf_report(const std::string& path, const Batch_report& report, const Report_facts& facts,
                             const Report_context& context);

} // namespace velin
