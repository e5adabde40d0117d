// The electronic invoice read as a page: parties, document data, lines, VAT, payment and
// attachments of both namespaces, and hostile documents that must end without loading anything.
#include "VelinVerify/invoice/invoice_reader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

using namespace velin;

namespace {

const std::filesystem::path fixtures = std::filesystem::path(VELIN_SOURCE_DIR) / "tests/fixtures/invoice";

std::vector<uint8_t> bytes_of(const std::string& text)
{
    return {text.begin(), text.end()};
}

std::vector<uint8_t> fixture(const char* name)
{
    std::ifstream in(fixtures / name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void expect_shown(const Invoice_reading& reading, std::initializer_list<const char*> texts)
{
    ASSERT_TRUE(reading.invoice);
    ASSERT_EQ(reading.failure, "");
    for (const char* text : texts)
        EXPECT_NE(reading.html.find(text), std::string::npos) << "missing: " << text;
}

std::string invoice_with(const std::string& prologue, const std::string& inside)
{
    return "<?xml version=\"1.0\"?>" + prologue + "<p:FatturaElettronica versione=\"FPR12\" xmlns:p=\"" +
           Invoice_namespace + "\">" + inside + "</p:FatturaElettronica>";
}

} // namespace

TEST(Invoice_reader, current_namespace_shows_parties_data_lines_vat_and_payment)
{
    const Invoice_reading reading = read_invoice(fixture("fattura-v12.xml"));
    expect_shown(reading,
                 {"Officine Ferraresi S.r.l.", "Partita IVA: IT01234567890", "Via dei Mulini, 12", "Mario Rossi",
                  "Codice fiscale: RSSMRA80A01H501U", "Regime fiscale: Ordinario", "TD01 - Fattura", "2026/118",
                  "30/11/2026", "1464,00 EUR", "Cuscinetto a sfere 6204", "264,00", "immediata", "Pagamento: completo",
                  "Bonifico", "31/12/2026", "IT60X0542811101000000123456", "Fattura tra privati"});
    EXPECT_EQ(reading.version, "1.2");
    EXPECT_EQ(reading.bodies, 1u);
    EXPECT_TRUE(reading.attachments.empty());
    // The invoice's text is text: markup in it is escaped, never copied.
    EXPECT_NE(reading.html.find("&lt;script&gt;"), std::string::npos);
    EXPECT_EQ(reading.html.find("<script"), std::string::npos);
}

TEST(Invoice_reader, older_namespace_in_latin1_is_shown_and_given_as_utf8)
{
    const Invoice_reading reading = read_invoice(fixture("fattura-v11.xml"));
    expect_shown(reading, {"Studio Tecnico Gualtieri", "Comune di Vall", "TD06 - Parcella", "Pagamento: a rate",
                           "PagoPA", "06/07/2014", "06/08/2014", "N2 - non soggette", "città di Vall"});
    EXPECT_EQ(reading.version, "1.1");
    EXPECT_NE(reading.xml.find("città di Vall"), std::string::npos);
}

TEST(Invoice_reader, simplified_invoice_shows_its_parties_and_amounts)
{
    const Invoice_reading reading = read_invoice(fixture("fattura-semplificata.xml"));
    expect_shown(reading, {"Bar Centrale di Lucca", "Partita IVA: IT02345678901", "Laura Bianchi",
                           "Codice fiscale: BNCLRA85M41E715X", "Via Roma, 8", "TD07 - Fattura semplificata", "S-88",
                           "15/10/2026", "Servizio di catering per riunione", "122,00"});
    EXPECT_EQ(reading.version, "1.0 semplificata");
}

TEST(Invoice_reader, two_bodies_one_after_another_and_their_attachments_decoded)
{
    const Invoice_reading reading = read_invoice(fixture("fattura-allegati.xml"));
    expect_shown(reading, {"Documento 1 di 2", "Documento 2 di 2", "FPA 7/26", "Nota di credito", "ORD-551",
                           "scissione dei pagamenti", "Contratto di fornitura", "Elenco del reso"});
    EXPECT_LT(reading.html.find("FPA 7/26"), reading.html.find("FPA 8/26"));
    EXPECT_EQ(reading.bodies, 2u);
    ASSERT_EQ(reading.attachments.size(), 2u);
    const Invoice_attachment& contract = reading.attachments[0];
    EXPECT_EQ(contract.body, 2u);
    EXPECT_EQ(contract.name, "contratto.txt");
    EXPECT_EQ(contract.format, "TXT");
    EXPECT_TRUE(contract.decoded);
    EXPECT_EQ(contract.content, bytes_of("Contratto di fornitura n. 7\n"));
    // CDATA text and a name with folders: only the last component is proposed.
    EXPECT_EQ(reading.attachments[1].content, bytes_of("articolo;quantita\n6204;10\n"));
    EXPECT_EQ(reading.attachments[1].file_name(), "reso.csv");
    for (const char* name : {"", "..", "C:\\dati\\..", "a/"}) {
        Invoice_attachment odd;
        odd.name = name;
        EXPECT_EQ(odd.file_name(), "allegato") << name;
    }

    const Invoice_reading damaged = read_invoice(bytes_of(invoice_with(
        "", "<FatturaElettronicaBody><Allegati><NomeAttachment>x.pdf</NomeAttachment><Attachment>@@@@</Attachment>"
            "</Allegati></FatturaElettronicaBody>")));
    ASSERT_EQ(damaged.attachments.size(), 1u);
    EXPECT_FALSE(damaged.attachments[0].decoded);
    EXPECT_TRUE(damaged.attachments[0].content.empty());
}

TEST(Invoice_reader, other_documents_are_not_invoices)
{
    for (const std::string& text :
         {std::string("<FatturaElettronica/>"), std::string("<a:FatturaElettronica xmlns:a=\"urn:altro\"/>"),
          std::string("<p:Fattura xmlns:p=\"") + Invoice_namespace + "\"/>",
          std::string("<p:FatturaElettronicaSemplificata xmlns:p=\"") + Invoice_namespace + "\"/>",
          std::string("FatturaElettronica"), std::string("%PDF-1.7 FatturaElettronica"), std::string()}) {
        const Invoice_reading reading = read_invoice(bytes_of(text));
        EXPECT_FALSE(reading.invoice) << text;
        EXPECT_TRUE(reading.html.empty());
    }
    EXPECT_FALSE(looks_like_invoice(bytes_of("%PDF-1.7")));
    EXPECT_TRUE(looks_like_invoice(bytes_of("\xEF\xBB\xBF\n <?xml?><FatturaElettronica")));
}

TEST(Invoice_reader, hostile_documents_end_without_loading_anything)
{
    // Entities of any kind come with a DTD, which an invoice never has: one naming a file is
    // refused, and a billion laughs ends (the parser stops it) with nothing shown.
    const Invoice_reading refused = read_invoice(
        bytes_of(invoice_with("<!DOCTYPE p:FatturaElettronica [<!ENTITY file SYSTEM \"file:///etc/passwd\">]>",
                              "<FatturaElettronicaBody><DatiGenerali><DatiGeneraliDocumento><Causale>&file;</Causale>"
                              "</DatiGeneraliDocumento></DatiGenerali></FatturaElettronicaBody>")));
    EXPECT_TRUE(refused.invoice);
    EXPECT_NE(refused.failure, "");
    EXPECT_TRUE(refused.html.empty());
    EXPECT_EQ(refused.xml.find("root:"), std::string::npos);
    std::string laughs = "<!DOCTYPE p:FatturaElettronica [<!ENTITY a0 \"aaaaaaaaaa\">";
    for (int level = 1; level < 10; ++level) {
        const std::string below = "&a" + std::to_string(level - 1) + ";";
        laughs += "<!ENTITY a" + std::to_string(level) + " \"";
        for (int i = 0; i < 10; ++i)
            laughs += below;
        laughs += "\">";
    }
    EXPECT_TRUE(read_invoice(bytes_of(invoice_with(laughs + "]>", "<Causale>&a9;</Causale>"))).html.empty());

    // Nesting far deeper than the parser allows.
    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep += "<a>";
    EXPECT_FALSE(read_invoice(bytes_of(invoice_with("", deep))).invoice);

    // Every cut of a real invoice before its end is refused, never half shown.
    const std::vector<uint8_t> whole = fixture("fattura-allegati.xml");
    for (size_t size = 0; size + 30 < whole.size(); size += 61) {
        const Invoice_reading cut = read_invoice(std::span(whole).first(size));
        EXPECT_TRUE(cut.html.empty()) << size;
    }

    std::vector<uint8_t> huge = bytes_of(invoice_with("", ""));
    huge.resize(Invoice_max_size + 1, ' ');
    EXPECT_FALSE(read_invoice(huge).invoice);
}

TEST(Invoice_reader, long_lines_are_cut_for_the_viewer_without_splitting_characters)
{
    EXPECT_EQ(with_long_lines_cut("abcdefg\nab", 3), "abc\ndef\ng\nab");
    // "à" is two bytes: a cut never falls between them.
    EXPECT_EQ(with_long_lines_cut("aàbc", 2), "aà\nbc");
    EXPECT_EQ(with_long_lines_cut("corta\n", 10), "corta\n");
}
