#include "card_data/card_data.h"

#include "card_data/personal_data.h"
#include "common/hex.h"
#include "common/openssl_encoding.h"
#include "common/owner.h"
#include "common/trace.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdio>
#include <ctime>
#include <iterator>

namespace velin {

const char* const Text_malformed_personal_data =
    "I dati anagrafici letti dalla carta non sono nel formato previsto e non possono essere mostrati.";

const char* const Text_nobody_to_ask =
    "Il consenso del titolare alla lettura non può essere chiesto: nessuna finestra può essere mostrata e "
    "l'ingresso standard non è un terminale. Avvia velin-dati-carta da un terminale o in una sessione grafica.";

namespace {

struct Field_label {
    Personal_field field;
    const char* key;
    const char* label;
};

constexpr Field_label Personal_labels[] = {
    {Personal_field::Surname, "cognome", "Cognome"},
    {Personal_field::Given_name, "nome", "Nome"},
    {Personal_field::Fiscal_code, "codice_fiscale", "Codice fiscale"},
    {Personal_field::Sex, "sesso", "Sesso"},
    {Personal_field::Height, "statura", "Statura"},
    {Personal_field::Citizenship, "cittadinanza", "Cittadinanza"},
    {Personal_field::Residence_address, "residenza", "Residenza"},
    {Personal_field::Expatriate_notes, "note_espatrio", "Note per l'espatrio"},
    {Personal_field::Issuer_code, "ente_emettitore", "Ente emettitore"},
    {Personal_field::Issue_date, "rilasciata_il", "Rilasciata il"},
    {Personal_field::Expiry_date, "scade_il", "Scade il"},
};

bool is_printable(const std::string& text)
{
    for (const unsigned char c : text)
        if (c < 0x20 || c > 0x7E)
            return false;
    return true;
}

std::string json_string(const std::string& text)
{
    std::string out = "\"";
    for (const unsigned char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::string certificate_date(const ASN1_TIME* time)
{
    struct tm parts {};
    if (!time || ASN1_TIME_to_tm(time, &parts) != 1)
        return {};
    char text[48];
    std::snprintf(text, sizeof text, "%02d/%02d/%04d", parts.tm_mday, parts.tm_mon + 1, parts.tm_year + 1900);
    return text;
}

std::optional<std::string> name_entry(const X509_NAME* name, int nid)
{
    const int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0)
        return std::nullopt;
    return utf8_of(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
}

std::string common_name(const X509_NAME* name)
{
    if (std::optional<std::string> text = name_entry(name, NID_commonName))
        return *text;
    const Owner<BIO> out(BIO_new(BIO_s_mem()));
    X509_NAME_print_ex(out.get(), name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    const long size = BIO_get_mem_data(out.get(), &data);
    return std::string(data, static_cast<size_t>(size));
}

// The card's number as the certificate of a CNS card gives it: the dnQualifier, else the digits
// between "/" and "." of a common name "FISCALCODE/NUMBER.HASH".
std::string card_number_of(const X509_NAME* subject)
{
    if (std::optional<std::string> qualifier = name_entry(subject, NID_dnQualifier); qualifier && !qualifier->empty())
        return *qualifier;
    const std::string cn = name_entry(subject, NID_commonName).value_or("");
    const size_t slash = cn.find('/');
    if (slash == std::string::npos)
        return {};
    const std::string number = cn.substr(slash + 1, cn.find('.', slash) - slash - 1);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos)
        return {};
    return number;
}

std::string full_name(const std::string& given, const std::string& surname)
{
    return given + (given.empty() || surname.empty() ? "" : " ") + surname;
}

std::string row_value(const Card_data& data, const char* key)
{
    for (const Card_data_row& row : data.rows)
        if (row.key == key)
            return row.value;
    return {};
}

// Codes after which nothing more of this view can be had: no card, no reader, no service, no
// way to ask the holder, no reading function. Nothing more is said then.
bool ends_the_reading(uint32_t code)
{
    switch (code) {
    case 0x80040204: // no card in the reader
    case 0x80040202: // the card was removed
    case 0x80040222: // no reader
    case 0x8010001D: // no smart-card service
    case 0x8010001E: // the service stopped
    case Norax_cannot_ask:
    case Norax_not_exported: // a library older than the page: every item says the same
        return true;
    default:
        return false;
    }
}

void fail(Card_data& data, const char* what, const Library_answer& answer)
{
    // The library's text for it names no cause the holder could act on.
    data.failures.push_back(
        {what, answer.code, answer.code == Norax_cannot_ask ? Text_nobody_to_ask : answer.error_text});
    Trace(Trace_kind, Level_info) << what << ": " << code_text(answer.code);
}

} // namespace

std::string code_text(uint32_t code)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", code);
    return text;
}

void add_personal_rows(Card_data& data, const std::vector<uint8_t>& file)
{
    const std::optional<Personal_data> personal = parse_personal_data(file);
    if (!personal) {
        data.failures.push_back({"Dati anagrafici", 0, Text_malformed_personal_data});
        Trace(Trace_kind, Level_info) << "Dati anagrafici non validi, " << file.size() << " byte.";
        return;
    }
    for (size_t i = 0; i < Personal_field_count; ++i)
        Trace(Trace_kind, Level_trace) << "Campo " << i << ": " << personal->fields[i].size() << " caratteri";

    auto row = [&data](const char* key, const char* label, std::string value) {
        data.rows.push_back({key, label, std::move(value)});
    };
    for (const Field_label& label : Personal_labels) {
        std::string value = (*personal)[label.field];
        if (label.field == Personal_field::Issue_date || label.field == Personal_field::Expiry_date)
            value = display_date(value);
        else if (label.field == Personal_field::Sex)
            value = value == "M" ? "Maschile" : value == "F" ? "Femminile" : value;
        else if (label.field == Personal_field::Height && !value.empty())
            value += " cm";
        else if (label.field == Personal_field::Residence_address &&
                 !(*personal)[Personal_field::Residence_municipality].empty())
            value += (value.empty() ? "" : ", ") + std::string("comune ") +
                     (*personal)[Personal_field::Residence_municipality];
        if (label.field == Personal_field::Sex) {
            // Birth date and place go before the sex, as on an identity document.
            std::string birth = display_date((*personal)[Personal_field::Birth_date]);
            for (const Personal_field place : {Personal_field::Birth_municipality, Personal_field::Birth_country})
                if (!(*personal)[place].empty())
                    birth += (birth.empty() ? "" : ", ") + (*personal)[place];
            row("nascita", "Data e luogo di nascita", birth);
        }
        row(label.key, label.label, value);
    }
}

void add_certificate_rows(Card_data& data, const std::string& base64_text)
{
    std::string compact;
    for (const char c : base64_text)
        if (c != '\r' && c != '\n')
            compact += c;
    std::vector<uint8_t> der(compact.size() * 3 / 4 + 3);
    const int decoded = EVP_DecodeBlock(der.data(), reinterpret_cast<const unsigned char*>(compact.data()),
                                        static_cast<int>(compact.size()));
    const unsigned char* in = der.data();
    const Owner<X509> certificate(decoded > 0 ? d2i_X509(nullptr, &in, decoded) : nullptr);
    if (!certificate) {
        data.failures.push_back(
            {"Certificato di autenticazione", 0, "Il certificato letto dalla carta non è nel formato previsto."});
        return;
    }
    // The common name of a CNS certificate is the fiscal code and the card's number: the holder
    // is named by the certificate's given name and surname, else by the card's personal data.
    const X509_NAME* subject = X509_get_subject_name(certificate.get());
    std::string holder =
        full_name(name_entry(subject, NID_givenName).value_or(""), name_entry(subject, NID_surname).value_or(""));
    if (holder.empty())
        holder = full_name(row_value(data, "nome"), row_value(data, "cognome"));
    if (holder.empty())
        holder = common_name(subject);
    data.rows.push_back({"certificato_titolare", "Titolare del certificato", holder});
    data.rows.push_back({"certificato_emittente", "Emesso da", common_name(X509_get_issuer_name(certificate.get()))});
    if (const std::string number = card_number_of(subject); !number.empty() && row_value(data, "numero_carta").empty())
        data.rows.push_back({"numero_carta", "Numero della carta", number});
    data.rows.push_back({"certificato_validita", "Valido",
                         "dal " + certificate_date(X509_get0_notBefore(certificate.get())) + " al " +
                             certificate_date(X509_get0_notAfter(certificate.get()))});
}

Card_data read_card_data(Card_library& library)
{
    // One question to the holder lists everything the page shows, and the library reads it all in
    // one call: the holder's file, the certificate, the card's number (shown only when the
    // certificate does not carry it) and the technical properties.
    const struct {
        const char* name;
        const char* key;
        const char* label;
    } properties[] = {
        {"issuer", "emittente_certificato", "Autorità di certificazione"},
        {"manufacturer", "produttore", "Produttore del chip"},
        {"type", "tipo", "Tipo di carta"},
        {"atr", "atr", "ATR"},
    };
    std::vector<Card_library::Request> requests = {
        {false, "EF.Dati_personali"},
        {true, "certificate"},
        {false, "EF.ID_Carta"},
    };
    for (const auto& property : properties)
        requests.push_back({true, property.name});
    const std::vector<Library_answer> answers = library.read_items(requests);

    // Nothing more is said once an answer showed that no card (or no way to ask) is there.
    Card_data data;
    const Library_answer& personal = answers[0];
    if (!personal.ok()) {
        fail(data, "Dati anagrafici", personal);
        if (personal.code == Norax_cancelled) {
            data.refused = true;
            return data;
        }
        if (ends_the_reading(personal.code))
            return data;
    } else {
        add_personal_rows(data, personal.bytes);
    }

    const Library_answer& certificate = answers[1];
    if (!certificate.ok())
        fail(data, "Certificato di autenticazione", certificate);
    else
        add_certificate_rows(data, certificate.text());
    if (ends_the_reading(certificate.code))
        return data;

    if (row_value(data, "numero_carta").empty()) {
        const Library_answer& serial = answers[2];
        if (!serial.ok()) {
            fail(data, "Numero della carta", serial);
            if (ends_the_reading(serial.code))
                return data;
        } else {
            std::string number(serial.bytes.begin(), serial.bytes.end());
            while (!number.empty() && (number.back() == '\0' || number.back() == ' '))
                number.pop_back();
            data.rows.push_back(
                {"numero_carta", "Numero della carta", is_printable(number) ? number : hex_text(serial.bytes)});
        }
    }

    for (size_t i = 0; i < std::size(properties); ++i) {
        const Library_answer& answer = answers[3 + i];
        if (answer.ok())
            data.rows.push_back({properties[i].key, properties[i].label, answer.text()});
        else
            fail(data, properties[i].label, answer);
        if (answer.code == Norax_access_denied || ends_the_reading(answer.code))
            break; // the holder said no to the technical questions, or the card went: no more of them
    }
    return data;
}

std::string Card_data::as_text() const
{
    std::string text;
    for (const Card_data_row& row : rows)
        text += row.label + ": " + row.value + "\n";
    for (const Card_data_failure& failure : failures)
        text += failure.what + ": " + failure.text + (failure.code ? " (" + code_text(failure.code) + ")" : "") + "\n";
    return text;
}

std::string Card_data::as_json() const
{
    std::string json = "{\n  \"campi\": {";
    for (size_t i = 0; i < rows.size(); ++i)
        json += std::string(i ? "," : "") + "\n    " + json_string(rows[i].key) + ": " + json_string(rows[i].value);
    json += rows.empty() ? "}" : "\n  }";
    json += ",\n  \"errori\": [";
    for (size_t i = 0; i < failures.size(); ++i)
        json += std::string(i ? "," : "") + "\n    {\"voce\": " + json_string(failures[i].what) +
                ", \"codice\": " + json_string(code_text(failures[i].code)) +
                ", \"messaggio\": " + json_string(failures[i].text) + "}";
    json += failures.empty() ? "]" : "\n  ]";
    return json + "\n}\n";
}

} // namespace velin
