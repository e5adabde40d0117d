// EF.Dati_personali read field by field, every way a file can be malformed refused as a whole,
// the rows a citizen sees, the certificate summary, and the JSON output.
#include "card_data/card_data.h"
#include "card_data/personal_data.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace velin {
namespace {

// The file as a card writes it: the fields with their two-digit lengths, the six-digit total,
// then padding.
std::vector<uint8_t> file_of(const std::vector<std::string>& fields, size_t padding = 0, uint8_t pad = 0)
{
    std::string body;
    for (const std::string& field : fields) {
        char length[3];
        std::snprintf(length, sizeof length, "%02X", static_cast<unsigned>(field.size()));
        body += length + field;
    }
    char total[7];
    std::snprintf(total, sizeof total, "%06X", static_cast<unsigned>(body.size()));
    std::string text = total + body;
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.insert(bytes.end(), padding, pad);
    return bytes;
}

std::vector<uint8_t> bytes_of(const std::string& text)
{
    return {text.begin(), text.end()};
}

const std::vector<std::string> Holder = {"RVD01", "15012025", "15012031",         "VERDELLI", "MARTA", "14031985",
                                         "F",     "",         "VRDMRT85C54L999W", "ITA",      "L999",  "",
                                         "",      "L999",     "VIA DEI LECCI 12", ""};

std::string value_of(const Card_data& data, const std::string& key)
{
    for (const Card_data_row& row : data.rows)
        if (row.key == key)
            return row.value;
    return "<assente>";
}

TEST(Personal_data, fields_in_order_with_padding_and_empty_fields)
{
    const auto parsed = parse_personal_data(file_of(Holder, 200));
    ASSERT_TRUE(parsed);
    EXPECT_EQ((*parsed)[Personal_field::Issuer_code], "RVD01");
    EXPECT_EQ((*parsed)[Personal_field::Surname], "VERDELLI");
    EXPECT_EQ((*parsed)[Personal_field::Given_name], "MARTA");
    EXPECT_EQ((*parsed)[Personal_field::Height], "");
    EXPECT_EQ((*parsed)[Personal_field::Fiscal_code], "VRDMRT85C54L999W");
    EXPECT_EQ((*parsed)[Personal_field::Residence_address], "VIA DEI LECCI 12");
    EXPECT_EQ((*parsed)[Personal_field::Expatriate_notes], "");
    // Padding of any byte after the declared length, lower-case hex, fields missing at the end.
    EXPECT_TRUE(parse_personal_data(file_of(Holder, 7, 0xFF)));
    std::vector<uint8_t> lower = file_of(Holder);
    for (size_t i = 0; i < 6; ++i)
        lower[i] = static_cast<uint8_t>(std::tolower(lower[i]));
    EXPECT_TRUE(parse_personal_data(lower));
    const auto short_file = parse_personal_data(file_of({"RVD01", "15012025", "15012031", "ROSSI"}));
    ASSERT_TRUE(short_file);
    EXPECT_EQ((*short_file)[Personal_field::Surname], "ROSSI");
    EXPECT_EQ((*short_file)[Personal_field::Fiscal_code], "");
    std::vector<std::string> more = Holder;
    more.push_back("CAMPO NUOVO");
    EXPECT_TRUE(parse_personal_data(file_of(more)));
    EXPECT_EQ(display_date("14031985"), "14/03/1985");
    EXPECT_EQ(display_date(""), "");
}

TEST(Personal_data, malformed_files_are_refused_whole)
{
    const std::vector<uint8_t> good = file_of(Holder);
    // Too short for the total; a total that is not hexadecimal, or runs past the data.
    for (const std::string& text : {std::string(""), std::string("00"), std::string("00G010"),
                                    std::string("FFFFFF0548454C4C4F"), std::string("00000A05AB")})
        EXPECT_FALSE(parse_personal_data(bytes_of(text))) << text;
    // Each truncation of a good file inside its declared data.
    for (size_t size = 0; size < good.size(); ++size)
        EXPECT_FALSE(parse_personal_data(std::span(good).first(size))) << size;
    // A field length past the declared data, or not hexadecimal.
    EXPECT_FALSE(parse_personal_data(bytes_of("00000409AB")));
    EXPECT_FALSE(parse_personal_data(bytes_of("000004Z1AB")));
    EXPECT_FALSE(parse_personal_data(bytes_of("000003020")));
    // Control characters inside a field: C0, DEL and the C1 range of ISO 8859-1.
    for (const std::string& field :
         {std::string("MAR\0TA", 6), std::string("MAR\x7FTA"), std::string("NICOL\xC3\x92")}) {
        std::vector<std::string> control = Holder;
        control[4] = field;
        EXPECT_FALSE(parse_personal_data(file_of(control))) << field;
    }
    // A date that is not ddmmyyyy.
    std::vector<std::string> date = Holder;
    date[5] = "1985-3-1";
    EXPECT_FALSE(parse_personal_data(file_of(date)));
    date[5] = "32131985";
    EXPECT_FALSE(parse_personal_data(file_of(date)));
}

TEST(Personal_data, accented_letters_of_iso_8859_1_are_read_as_utf8)
{
    std::vector<std::string> holder = Holder;
    holder[3] = "D\xC0LL\xD2"; // DÀLLÒ
    holder[4] = "NICOL\xD2 Z\xC9"; // NICOLÒ ZÉ
    holder[14] = "VIA DELL'\xC8RBA 1 \xB0P"; // °
    const auto parsed = parse_personal_data(file_of(holder, 20));
    ASSERT_TRUE(parsed);
    EXPECT_EQ((*parsed)[Personal_field::Surname], "DÀLLÒ");
    EXPECT_EQ((*parsed)[Personal_field::Given_name], "NICOLÒ ZÉ");
    EXPECT_EQ((*parsed)[Personal_field::Residence_address], "VIA DELL'ÈRBA 1 °P");
    EXPECT_EQ((*parsed)[Personal_field::Fiscal_code], "VRDMRT85C54L999W");

    Card_data data;
    add_personal_rows(data, file_of(holder));
    EXPECT_TRUE(data.failures.empty());
    EXPECT_EQ(value_of(data, "nome"), "NICOLÒ ZÉ");
    EXPECT_NE(data.as_json().find("\"cognome\": \"DÀLLÒ\""), std::string::npos) << data.as_json();
}

TEST(Card_data, rows_in_a_citizens_words_and_failures_instead_of_garbage)
{
    Card_data data;
    std::vector<std::string> holder = Holder;
    holder[7] = "168";
    add_personal_rows(data, file_of(holder, 100));
    EXPECT_TRUE(data.failures.empty());
    EXPECT_EQ(value_of(data, "cognome"), "VERDELLI");
    EXPECT_EQ(value_of(data, "nascita"), "14/03/1985, L999");
    EXPECT_EQ(value_of(data, "sesso"), "Femminile");
    EXPECT_EQ(value_of(data, "statura"), "168 cm");
    EXPECT_EQ(value_of(data, "residenza"), "VIA DEI LECCI 12, comune L999");
    EXPECT_EQ(value_of(data, "rilasciata_il"), "15/01/2025");
    EXPECT_EQ(value_of(data, "scade_il"), "15/01/2031");

    Card_data broken;
    add_personal_rows(broken, bytes_of("00000A05AB"));
    EXPECT_TRUE(broken.rows.empty());
    ASSERT_EQ(broken.failures.size(), 1u);
    EXPECT_EQ(broken.failures[0].text, Text_malformed_personal_data);
}

// The library's text of a certificate: base64 lines ended by CR LF.
std::string library_base64(const std::string& pem_name)
{
    std::ifstream in(std::string(VELIN_CARD_FIXTURES) + "/" + pem_name);
    std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string base64;
    for (size_t at = pem.find('\n') + 1; at < pem.size();) {
        const size_t end = pem.find('\n', at);
        const std::string line = pem.substr(at, end - at);
        if (line.rfind("-----", 0) == 0)
            break;
        base64 += line + "\r\n";
        at = end + 1;
    }
    return base64;
}

TEST(Card_data, certificate_summary_from_the_librarys_base64)
{
    const std::string base64 = library_base64("holder-regional.cert.pem");
    Card_data data;
    add_certificate_rows(data, base64);
    ASSERT_TRUE(data.failures.empty());
    // The holder by name, not the common name (fiscal code and card number); the card's number
    // from the certificate.
    EXPECT_EQ(value_of(data, "certificato_titolare"), "MARTA VERDELLI");
    EXPECT_EQ(value_of(data, "numero_carta"), "7420091000000001");
    EXPECT_NE(value_of(data, "certificato_emittente").find("Regione Valdora"), std::string::npos);
    EXPECT_EQ(value_of(data, "certificato_validita").rfind("dal ", 0), 0u);

    // A certificate without given name and surname: the holder's name from the card's personal
    // data; no card number where the certificate names none.
    Card_data unnamed;
    add_personal_rows(unnamed, file_of(Holder));
    add_certificate_rows(unnamed, library_base64("regional-ca.cert.pem"));
    EXPECT_EQ(value_of(unnamed, "certificato_titolare"), "MARTA VERDELLI");
    EXPECT_EQ(value_of(unnamed, "numero_carta"), "<assente>");

    Card_data broken;
    add_certificate_rows(broken, "bm9uIHVuIGNlcnRpZmljYXRv");
    EXPECT_EQ(broken.failures.size(), 1u);
}

// A library older than the page lacks the function that reads a view: said once, nothing more.
TEST(Card_data, a_library_without_the_view_function_is_said_once)
{
    std::string error;
    const std::unique_ptr<Card_library> library = Card_library::load(CARD_LIBRARY_STAND_IN, error);
    ASSERT_TRUE(library) << error;
    const Card_data data = read_card_data(*library);
    EXPECT_TRUE(data.rows.empty());
    EXPECT_FALSE(data.refused);
    ASSERT_EQ(data.failures.size(), 1u) << data.as_text();
    EXPECT_EQ(data.failures.front().code, Norax_not_exported);
    EXPECT_EQ(data.failures.front().text, "norax_read_items non esportata dalla libreria della carta.");
}

TEST(Card_data, json_escapes_what_it_prints)
{
    Card_data data;
    data.rows.push_back({"atr", "ATR", "3B \"FF\"\\\n"});
    data.failures.push_back({"Dati anagrafici", 0x80040234, "Operazione annullata."});
    EXPECT_EQ(data.as_json(), "{\n  \"campi\": {\n    \"atr\": \"3B \\\"FF\\\"\\\\\\n\"\n  },\n"
                              "  \"errori\": [\n    {\"voce\": \"Dati anagrafici\", \"codice\": \"0x80040234\", "
                              "\"messaggio\": \"Operazione annullata.\"}\n  ]\n}\n");
    EXPECT_EQ(data.as_text(), "ATR: 3B \"FF\"\\\n\nDati anagrafici: Operazione annullata. (0x80040234)\n");
}

} // namespace
} // namespace velin
