#include "VelinVerify/report/pdf_report.h"

#include "VelinVerify/report/report_file.h"
#include "envelope/asic_manifest.h"

#include <QAbstractTextDocumentLayout>
#include <QBuffer>
#include <QFont>
#include <QPageLayout>
#include <QPageSize>
#include <QPagedPaintDevice>
#include <QPainter>
#include <QPdfWriter>
#include <QTextDocument>

#include <algorithm>
#include <ctime>

namespace velin {

namespace {

QString html(const std::string& text)
{
    return QString::fromStdString(printable_text(text)).toHtmlEscaped();
}

std::string utc_text(std::time_t time)
{
    std::tm fields{};
    gmtime_r(&time, &fields);
    char text[40];
    std::strftime(text, sizeof text, "%d/%m/%Y %H:%M:%S (UTC)", &fields);
    return text;
}

std::string local_text(std::time_t time)
{
    std::tm fields{};
    localtime_r(&time, &fields);
    char text[48];
    std::strftime(text, sizeof text, "%d/%m/%Y %H:%M:%S (ora locale, %Z)", &fields);
    return text;
}

// "2026-12-10T12:00:00Z" as the report shows it.
std::string iso_to_text(const std::string& iso)
{
    std::tm fields{};
    if (!strptime(iso.c_str(), "%Y-%m-%dT%H:%M:%SZ", &fields))
        return iso;
    return utc_text(timegm(&fields));
}

std::string indication_text(const Report_indication& indication)
{
    std::string text;
    switch (indication.main) {
    case Report_indication::Main::Total_passed:
        text = "superata";
        break;
    case Report_indication::Main::Total_failed:
        text = "non superata";
        break;
    case Report_indication::Main::Indeterminate:
        text = "indeterminata";
        break;
    }
    return "Verifica " + text + " (" + main_indication_name(indication.main) +
           (indication.sub.empty() ? "" : ", " + indication.sub) + ")";
}

class Html {
public:
    void heading(int level, const std::string& text)
    {
        _out += QStringLiteral("<h%1>%2</h%1>").arg(level).arg(html(text));
    }
    void paragraph(const std::string& text) { _out += "<p>" + html(text) + "</p>"; }
    void begin_table() { _out += "<table width=\"100%\" border=\"1\" cellspacing=\"0\" cellpadding=\"3\">"; }
    void row(const std::string& name, const std::string& value)
    {
        _out += "<tr><td width=\"30%\"><b>" + html(name) + "</b></td><td>" + html(value) + "</td></tr>";
    }
    // A digest in a smaller size, so that it stays on one line, whole for whoever copies it.
    void digest_row(const std::string& name, const std::string& digest)
    {
        _out += "<tr><td width=\"30%\"><b>" + html(name) + "</b></td><td><span style=\"font-size: 7pt\">" +
                html(digest) + "</span></td></tr>";
    }
    // widths: of each column in per cent; none leaves them to the layout.
    void header(const std::vector<std::string>& names, const std::vector<int>& widths = {})
    {
        _out += "<thead><tr>";
        for (size_t i = 0; i < names.size(); ++i)
            _out += (i < widths.size() ? QStringLiteral("<th align=\"left\" width=\"%1%\">").arg(widths[i])
                                       : QStringLiteral("<th align=\"left\">")) +
                    html(names[i]) + "</th>";
        _out += "</tr></thead>";
    }
    void cells(const std::vector<std::string>& values)
    {
        _out += "<tr>";
        for (const std::string& value : values)
            _out += "<td>" + html(value) + "</td>";
        _out += "</tr>";
    }
    // A row whose first cell has a digest under its value, in the digests' smaller size: in the
    // same row, so that a page never parts them.
    void cells_with_digest(const std::vector<std::string>& values, const std::string& digest)
    {
        _out += "<tr>";
        for (size_t i = 0; i < values.size(); ++i) {
            _out += "<td>" + html(values[i]);
            if (i == 0 && !digest.empty())
                _out += "<br/><span style=\"font-size: 7pt\">" + html(digest) + "</span>";
            _out += "</td>";
        }
        _out += "</tr>";
    }
    void end_table() { _out += "</table>"; }
    void messages(const std::vector<Status_line>& lines)
    {
        if (lines.empty())
            return;
        begin_table();
        header({"Gravità", "Messaggio"});
        for (const Status_line& line : lines)
            cells({severity_label(line.severity), line.text});
        end_table();
    }
    QString text() const { return _out; }

private:
    QString _out;
};

void certificate_rows(Html& out, const Report_certificate& certificate)
{
    if (!certificate.fiscal_code.empty())
        out.row("Codice fiscale", certificate.fiscal_code);
    out.row("Titolare del certificato", certificate.subject);
    out.row("Emesso da", certificate.issuer);
    out.row("Numero di serie", certificate.serial);
    out.row("Valido dal", certificate.not_before ? utc_text(*certificate.not_before) : "non leggibile");
    out.row("Valido fino al", certificate.not_after ? utc_text(*certificate.not_after) : "non leggibile");
}

// The time the signature was judged at, and why that one.
std::string judged_text(const Batch_layer& layer, size_t i)
{
    if (i < layer.judged_at.size() && layer.judged_at[i])
        return iso_to_text(*layer.judged_at[i]) + ", l'ora di una marca temporale attendibile che copre la firma";
    if (i < layer.lists_judged.size() && layer.lists_judged[i])
        return iso_to_text(layer.lists_judged[i]->first) +
               (layer.lists_judged[i]->second == "timestamp"
                    ? ", l'ora di una marca temporale attendibile che copre la firma"
                    : ", l'ora della verifica: nessuna marca temporale attendibile copre la firma");
    return "l'ora della verifica: nessuna marca temporale attendibile copre la firma";
}

// What the revocation check rested on: the answer or list, when it was given, what it said, and
// the time the certificate was judged at.
void revocation_rows(Html& out, const Report_revocation& revocation, std::time_t verified_at)
{
    out.row("Fonte della revoca", revocation_source_text(revocation));
    out.row("Risposta sulla revoca", revocation.answer);
    if (revocation.issued)
        out.row("Emessa il", utc_text(*revocation.issued));
    if (revocation.next_update)
        out.row("Prossimo aggiornamento", utc_text(*revocation.next_update));
    if (!revocation.sha256.empty())
        out.digest_row(revocation.source == Revocation_source::Crl ? "SHA-256 della lista di revoca"
                                                                   : "SHA-256 della risposta OCSP",
                       digest_hex(revocation.sha256));
    if (revocation.status == Revocation_status::Not_checked)
        return;
    out.row("Revoca valutata all'ora", revocation.judged_at
                                           ? utc_text(*revocation.judged_at) + " (ora della marca temporale)"
                                           : utc_text(verified_at) + " (ora della verifica)");
}

// What changed in the document after the signature (the later revisions of a PDF).
void later_changes_rows(Html& out, const Report_signer& signer)
{
    if (!signer.later_forbidden.empty())
        out.row("Modifiche non consentite dopo la firma", signer.later_forbidden);
    if (!signer.later_allowed.empty())
        out.row("Modifiche consentite dopo la firma", signer.later_allowed);
    if (signer.changed_after && signer.later_forbidden.empty() && signer.later_allowed.empty())
        out.row("Modifiche dopo la firma", "il documento è stato modificato dopo questa firma");
    if (!signer.changed_after && signer.revision_end > 0)
        out.row("Modifiche dopo la firma", "nessuna: la firma copre il documento intero");
}

// 1234567 as "1.234.567".
std::string thousands(uint64_t number)
{
    const std::string digits = std::to_string(number);
    std::string text;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            text += '.';
        text += digits[i];
    }
    return text;
}

std::string size_text(uint64_t size)
{
    return thousands(size) + " byte";
}

std::string names_text(const std::vector<std::string>& names)
{
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text;
}

// The revision a PDF's signature signs, as "revisione 1 di 3".
std::optional<std::string> signed_revision_text(const std::vector<Report_revision>& revisions, size_t signature)
{
    for (size_t n = 0; n < revisions.size(); ++n)
        if (revisions[n].signature == signature)
            return "revisione " + std::to_string(n + 1) + " di " + std::to_string(revisions.size()) +
                   " (fino al byte " + thousands(revisions[n].end) + ")";
    return std::nullopt;
}

// A signature container's files: their size and SHA-256, what covers each, and those no
// signature covers with the warning the verification gave.
void container_section(Html& out, const Batch_layer& layer, const Report_layer_facts* known)
{
    if (!layer.container_files)
        return;
    out.heading(3, "File del contenitore");
    out.begin_table();
    // The first column wide enough for a SHA-256 under the name.
    out.header({"File", "Dimensione", "Coperto da"}, {66, 15, 19});
    for (size_t f = 0; f < layer.container_files->size(); ++f) {
        const std::string& name = (*layer.container_files)[f];
        const Report_container_file* file =
            known && f < known->container_files.size() && known->container_files[f].name == name
                ? &known->container_files[f]
                : nullptr;
        std::vector<std::string> by;
        for (size_t i = 0; i < layer.covers.size(); ++i)
            if (std::find(layer.covers[i].begin(), layer.covers[i].end(), name) != layer.covers[i].end())
                by.push_back("firma " + std::to_string(i + 1));
        if (file && file->timestamped)
            by.push_back("marca temporale del contenitore");
        out.cells_with_digest(
            {name, file ? size_text(file->size) : "non disponibile", by.empty() ? "nessuna firma" : names_text(by)},
            file && !file->sha256.empty() ? "SHA-256 " + digest_hex(file->sha256) : std::string());
    }
    out.end_table();
    std::vector<Status_line> warnings;
    for (const std::string& name : layer.uncovered)
        warnings.push_back({Line_severity::Warning, asic_uncovered_file_text(name)});
    out.messages(warnings);
}

// The revisions of a signed PDF, each with what closes it.
void revisions_section(Html& out, const Batch_layer& layer, const std::vector<Report_revision>& revisions)
{
    if (revisions.empty())
        return;
    out.heading(3, "Revisioni del documento");
    out.paragraph("Il documento PDF ha " + std::to_string(revisions.size()) +
                  (revisions.size() == 1 ? " revisione." : " revisioni.") +
                  " Ogni firma copre la propria revisione e quelle che la precedono.");
    out.begin_table();
    out.header({"Revisione", "Fino al byte", "Chiusa da"});
    for (size_t n = 0; n < revisions.size(); ++n) {
        const Report_revision& revision = revisions[n];
        std::string closed = "nessuna firma: modifiche aggiunte dopo l'ultima firma o marca temporale";
        if (revision.signature)
            closed =
                "firma " + std::to_string(*revision.signature + 1) +
                (*revision.signature < layer.signatures.size() ? ": " + layer.signatures[*revision.signature].signer
                                                               : std::string());
        else if (revision.timestamp)
            closed = "marca temporale del documento" +
                     (*revision.timestamp < layer.timestamps.size() && layer.timestamps[*revision.timestamp].time
                          ? " del " + iso_to_text(*layer.timestamps[*revision.timestamp].time)
                          : std::string());
        out.cells({std::to_string(n + 1), thousands(revision.end), closed});
    }
    out.end_table();
}

void signature_section(Html& out, const Batch_layer& layer, size_t i, const Report_signer* signer,
                       const std::vector<Report_revision>& revisions, std::time_t verified_at)
{
    const Signature_display& shown = layer.signatures[i];
    out.heading(3, "Firma " + std::to_string(i + 1) + ": " + shown.signer);
    out.begin_table();
    out.row("Firmatario", shown.signer);
    if (signer && signer->certificate)
        certificate_rows(out, *signer->certificate);
    else
        out.row("Certificato", "non disponibile");
    out.row("Tipo di firma", shown.kind);
    out.row("Data e ora dichiarate dal firmatario", shown.signing_time);
    out.row("Ora che conta", judged_text(layer, i));
    if (signer) {
        out.row("Revoca", signer->revocation);
        revocation_rows(out, signer->revocation_details, verified_at);
        out.row("Catena di certificazione", signer->chain_complete ? "completa fino a una radice attendibile"
                                                                   : "incompleta: nessuna radice attendibile");
        out.row("Esito della firma", indication_text(signer->indication));
        if (const std::optional<std::string> revision = signed_revision_text(revisions, i))
            out.row("Revisione firmata", *revision);
        later_changes_rows(out, *signer);
    }
    if (layer.container_files && i < layer.covers.size())
        out.row("File coperti dalla firma", layer.covers[i].empty() ? "nessuno" : names_text(layer.covers[i]));
    if (i < layer.countersignatures.size())
        for (const auto& [name, matches] : layer.countersignatures[i])
            out.row("Controfirma", name + (matches ? " (corrisponde)" : " (non corrisponde)"));
    out.end_table();
    out.messages(shown.status);
}

void timestamp_section(Html& out, const Batch_layer& layer, const Report_layer_facts* known)
{
    bool any = false;
    for (size_t i = 0; i < layer.timestamps.size(); ++i) {
        const Batch_timestamp& timestamp = layer.timestamps[i];
        if (timestamp.inherited)
            continue;
        if (!any) {
            out.heading(3, "Marche temporali");
            out.begin_table();
            out.header({"Riferita a", "Data e ora", "Autorità", "Esito"});
            any = true;
        }
        const std::string scope = timestamp.scope == "document" ? "il file"
                                  : timestamp.signer            ? "la firma " + std::to_string(*timestamp.signer)
                                                                : timestamp.scope;
        std::string outcome = timestamp.verified ? "verificata" : "non verificata";
        outcome += timestamp.trusted && *timestamp.trusted ? ", autorità attendibile" : ", autorità non attendibile";
        if (known && i < known->timestamps.size())
            outcome += "; " + indication_text(known->timestamps[i].indication);
        out.cells({scope, timestamp.time ? iso_to_text(*timestamp.time) : "illeggibile", timestamp.authority, outcome});
    }
    if (any)
        out.end_table();
}

// The revocation of each time stamp's authority, what it rested on.
void timestamp_revocation_section(Html& out, const Batch_layer& layer, const Report_layer_facts* known,
                                  std::time_t verified_at)
{
    if (!known)
        return;
    for (size_t i = 0; i < layer.timestamps.size() && i < known->timestamps.size(); ++i) {
        if (layer.timestamps[i].inherited)
            continue;
        out.heading(4, "Revoca dell'autorità della marca temporale " + std::to_string(i + 1) + ": " +
                           layer.timestamps[i].authority);
        out.begin_table();
        revocation_rows(out, known->timestamps[i].revocation, verified_at);
        out.end_table();
    }
}

} // namespace

std::string plain_outcome(const Batch_report& report)
{
    if (!report.outcome)
        return "Non è stato possibile arrivare a un esito: il file non è leggibile, non è di un tipo che il "
               "verificatore tratta, oppure non contiene firme.";
    if (*report.outcome == "success")
        return "Esito positivo: le firme sono valide e il documento non è stato modificato dopo la firma.";
    if (*report.outcome == "warnings")
        return "Esito positivo con segnalazioni: le firme corrispondono al documento, ma ci sono avvisi da leggere "
               "qui sotto prima di fare affidamento sul documento.";
    return "Esito negativo: sono stati trovati errori, e il documento o le sue firme non possono essere considerati "
           "validi. I motivi sono spiegati qui sotto.";
}

QString report_html(const Batch_report& report, const Report_facts& facts, const Report_context& context)
{
    Html out;
    out.heading(1, "Rapporto di verifica");
    out.heading(2, "File verificato");
    out.begin_table();
    out.row("Nome del file", facts.name);
    out.row("Percorso", report.file);
    out.row("Dimensione", facts.size ? size_text(*facts.size) : "file non leggibile");
    if (facts.sha256.empty())
        out.row("Impronta SHA-256", "non calcolabile");
    else
        out.digest_row("Impronta SHA-256", facts.sha256);
    out.row("Data e ora della verifica", utc_text(facts.verified_at));
    out.row("", local_text(facts.verified_at));
    out.row("Versione del programma", "Velin Manager " + context.suite_version);
    out.row("Computer", context.host_name);
    out.end_table();

    out.heading(2, "Liste di fiducia e revoca");
    out.begin_table();
    for (const std::string& line : context.trusted_lists)
        out.row("Lista di fiducia", line);
    for (const Report_context::Certificate_list& list : context.certificate_lists) {
        out.row("Elenco di certificati", list.name + (list.used ? ": in uso" : ": non in uso"));
        if (!list.sha256.empty())
            out.digest_row("SHA-256 dell'elenco", list.sha256);
    }
    out.row("Verifica della revoca", context.revocation_settings);
    out.end_table();

    out.heading(2, "Esito complessivo");
    out.paragraph(plain_outcome(report));
    if (report.message)
        out.paragraph("Messaggio del verificatore: " + *report.message);

    for (size_t n = 0; n < report.layers.size(); ++n) {
        const Batch_layer& layer = report.layers[n];
        const Report_layer_facts* known = n < facts.layers.size() ? &facts.layers[n] : nullptr;
        out.heading(2, "Livello " + std::to_string(n + 1) + ": " + layer.file);
        if (layer.document)
            out.paragraph("Documento originale: " + *layer.document);
        container_section(out, layer, known);
        const std::vector<Report_revision> revisions =
            known ? report_revisions(*known) : std::vector<Report_revision>{};
        revisions_section(out, layer, revisions);
        for (size_t i = 0; i < layer.signatures.size(); ++i)
            signature_section(out, layer, i, known && i < known->signers.size() ? &known->signers[i] : nullptr,
                              revisions, facts.verified_at);
        timestamp_section(out, layer, known);
        timestamp_revocation_section(out, layer, known, facts.verified_at);
        out.heading(3, "Attività");
        out.messages(layer.activity);
    }
    return "<html><body>" + out.text() + "</body></html>";
}

bool paint_report(QPagedPaintDevice& device, const Batch_report& report, const Report_facts& facts,
                  const Report_context& context)
{
    QPainter painter;
    if (!painter.begin(&device))
        return false;
    const QRectF page = device.pageLayout().paintRectPixels(device.logicalDpiX());
    QFont font(QStringLiteral("DejaVu Sans"), 9);
    QFont small(QStringLiteral("DejaVu Sans"), 7);
    // No ligatures: the text read back from the PDF (searched, copied, indexed by an archive) must
    // hold "fi" and "fl", not the one-glyph forms. Qt leaves them out for spaced letters; this
    // spacing is far below what a printer can show.
    // No hinting either: the pages are outlines, and fitting glyphs to a pixel grid only costs time.
    for (QFont* each : {&font, &small}) {
        each->setLetterSpacing(QFont::AbsoluteSpacing, 0.05);
        each->setHintingPreference(QFont::PreferNoHinting);
    }
    QTextDocument document;
    document.documentLayout()->setPaintDevice(&device);
    document.setDefaultFont(font);
    document.setHtml(report_html(report, facts, context));
    const QFontMetricsF metrics(small, &device);
    const qreal band = metrics.height() * 2;
    const QSizeF body(page.width(), page.height() - 2 * band);
    document.setPageSize(body);
    const int pages = document.pageCount();
    // The name on the first line, shortened when it is long, and the SHA-256 whole on the second:
    // a long name must not push the digest off the page or under the body.
    const QString title = metrics.elidedText(QStringLiteral("Rapporto di verifica - ") +
                                                 QString::fromStdString(printable_text(facts.name)),
                                             Qt::ElideMiddle, page.width());
    const QString fingerprint =
        QStringLiteral("SHA-256 ") + QString::fromStdString(facts.sha256.empty() ? "non calcolabile" : facts.sha256);
    for (int n = 0; n < pages; ++n) {
        if (n > 0 && !device.newPage())
            return false;
        painter.setFont(small);
        painter.drawText(QRectF(0, 0, page.width(), band / 2), Qt::AlignLeft | Qt::AlignTop, title);
        painter.drawText(QRectF(0, band / 2, page.width(), band / 2), Qt::AlignLeft | Qt::AlignTop, fingerprint);
        painter.drawText(QRectF(0, page.height() - band, page.width(), band), Qt::AlignRight | Qt::AlignBottom,
                         QStringLiteral("Pagina %1 di %2").arg(n + 1).arg(pages));
        painter.save();
        painter.translate(0, band - n * body.height());
        document.drawContents(&painter, QRectF(0, n * body.height(), body.width(), body.height()));
        painter.restore();
    }
    return painter.end();
}

std::optional<QByteArray> pdf_report(const Batch_report& report, const Report_facts& facts,
                                     const Report_context& context)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    {
        QPdfWriter writer(&buffer);
        writer.setPdfVersion(QPagedPaintDevice::PdfVersion_A1b);
        writer.setResolution(300);
        writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF(15, 15, 15, 15),
                                         QPageLayout::Millimeter));
        writer.setTitle(QStringLiteral("Rapporto di verifica - ") + QString::fromStdString(printable_text(facts.name)));
        writer.setCreator(QStringLiteral("Velin Manager ") + QString::fromStdString(context.suite_version));
        if (!paint_report(writer, report, facts, context))
            return std::nullopt;
    }
    return bytes;
}

std::string write_pdf_report(const std::string& path, const Batch_report& report, const Report_facts& facts,
                             const Report_context& context)
{
    const std::optional<QByteArray> bytes = pdf_report(report, facts, context);
    if (!bytes || bytes->isEmpty())
        return report_not_written_text(path, "la composizione delle pagine è fallita");
    return write_report_file(path, bytes->toStdString());
}

} // namespace velin
