// File names and paths, the catalogue's texts, FCI sizes, DER lengths and Netlink directories.
#include "cardlib/card_exceptions.h"
#include "cardlib/card_file_reader.h"
#include "cardlib/cns_file_catalogue.h"
#include "cardlib/netlink_parser.h"
#include "cardlib/reading_prompt.h"

#include <gtest/gtest.h>

namespace {

using namespace velin::cardlib;

BASIC_ERRORS::CError basic_code_of(const std::function<void()>& action)
{
    try {
        action();
    } catch (const CEnumException<BASIC_ERRORS::CError>& e) {
        return e.code();
    }
    ADD_FAILURE() << "no BASIC_ERRORS failure";
    return BASIC_ERRORS::Failed;
}

TEST(Card_files, names_are_normalised_and_found_in_catalogue_order)
{
    EXPECT_EQ(normalise_file_name("EF.Dati_personali"), "EFDATIPERSONALI");
    EXPECT_EQ(catalogue_id_of("ef.dati personali"), 15u);
    EXPECT_EQ(catalogue_id_of("EF.DATI_PERSONALI_AGGIUNTIVI"), 16u);
    EXPECT_EQ(catalogue_id_of("EF.ATR"), 20u);
    EXPECT_EQ(catalogue_id_of("ef_nkap"), 6u);
    EXPECT_FALSE(catalogue_id_of("EF.SERIALE"));
    EXPECT_FALSE(catalogue_id_of(""));

    const CNS_known_file_info& personal = catalogue_entry(15);
    EXPECT_EQ(personal.path, (File_path{0x1100, 0x1102}));
    EXPECT_EQ(personal.access, Access_free);
    EXPECT_EQ(personal.short_description, "i dati anagrafici");
    EXPECT_EQ(catalogue_entry(4).access, Access_pin);
    EXPECT_FALSE(catalogue_entry(4).path);
    EXPECT_EQ(catalogue_entry(6).long_description,
              "Nei dati sulle esenzioni della Carta Velin ci sono le esenzioni certificate per:\n- patologie;\n- "
              "invalidità;\n- malattie rare.\n- reddito.");
    EXPECT_EQ(cns_catalogue().size(), 21u);
}

// The consent dialog reads "L'applicazione ha chiesto di leggere" + the short description + the
// participle + " sulla tua Carta Velin.": every description, and every list of them, must agree
// with the participle its article asks for. The property question is paragraphs that the box
// wraps, never a line broken inside a sentence.
TEST(Card_files, the_prompts_read_as_sentences)
{
    const CNS_known_file_info& certificate = catalogue_entry(14);
    EXPECT_EQ(certificate.name, "EF.C_CARTA");
    EXPECT_EQ(certificate.short_description, "i dati del certificato di autenticazione");

    // The participle the description's first word asks for ("dati" stands without an article).
    auto agreeing = [](const std::string& description) -> std::string {
        const std::string first = description.substr(0, description.find(' '));
        if (first == "il" || first == "lo")
            return "registrato";
        if (first == "la")
            return "registrata";
        if (first == "le")
            return "registrate";
        if (first == "i" || first == "gli" || first == "dati")
            return "registrati";
        ADD_FAILURE() << "a description without a known article: " << description;
        return "";
    };
    std::vector<CNS_known_file_info> items = cns_catalogue();
    items.push_back(technical_information());
    for (const CNS_known_file_info& item : items)
        EXPECT_EQ(registered_on_card({item}), agreeing(item.short_description) + " sulla tua Carta Velin.")
            << item.name << ": " << item.short_description;
    EXPECT_EQ(registered_on_card({catalogue_entry(13)}), "registrato sulla tua Carta Velin.");
    EXPECT_EQ(registered_on_card({catalogue_entry(18)}), "registrata sulla tua Carta Velin.");
    // Several: masculine plural unless all are feminine.
    EXPECT_EQ(registered_on_card({catalogue_entry(13), catalogue_entry(18)}), "registrati sulla tua Carta Velin.");
    EXPECT_EQ(registered_on_card({catalogue_entry(18), technical_information()}), "registrate sulla tua Carta Velin.");
    EXPECT_EQ(listed_descriptions({catalogue_entry(15), catalogue_entry(13)}),
              "- i dati anagrafici;\n- il numero seriale della Carta");
    EXPECT_EQ(listed_descriptions({catalogue_entry(13)}), "il numero seriale della Carta");
    // The long descriptions, each once: the three Netlink files share theirs.
    EXPECT_EQ(long_descriptions({catalogue_entry(0), catalogue_entry(9), catalogue_entry(13)}),
              catalogue_entry(0).long_description + "\n\n" + catalogue_entry(13).long_description);

    const std::string question = Property_question;
    for (size_t at = question.find('\n'); at != std::string::npos; at = question.find('\n', at + 2)) {
        EXPECT_EQ(question.compare(at, 2, "\n\n"), 0) << "a line broken at: " << question.substr(0, at);
        if (question.compare(at, 2, "\n\n") != 0)
            break;
    }
    EXPECT_NE(question.find("sul PC e sulla tua Carta Velin."), std::string::npos) << question;
    EXPECT_EQ(question.substr(question.rfind("\n\n") + 2), "Autorizzi la lettura di queste informazioni?");
}

TEST(Card_files, hexadecimal_names_are_paths_below_the_master_file)
{
    EXPECT_EQ(path_from_text("3F0011001102"), (File_path{0x1100, 0x1102}));
    EXPECT_EQ(path_from_text("12004142"), (File_path{0x1200, 0x4142}));
    EXPECT_EQ(path_from_text("2f01"), (File_path{0x2F01}));
    EXPECT_FALSE(path_from_text("EF.GDO"));
    EXPECT_FALSE(path_from_text(""));
    EXPECT_FALSE(path_from_text("1100 1102"));
    EXPECT_EQ(basic_code_of([] { path_from_text("3F00"); }), BASIC_ERRORS::Invalid_argument);
    EXPECT_EQ(basic_code_of([] { path_from_text("110011"); }), BASIC_ERRORS::Invalid_argument);
    EXPECT_EQ(basic_code_of([] { path_from_text(std::string(4000, 'A')); }), BASIC_ERRORS::Invalid_argument);
}

TEST(Card_files, fci_gives_the_size_from_items_80_or_81)
{
    EXPECT_EQ(fci_file_size({0x6F, 0x0E, 0x80, 0x02, 0x01, 0x90, 0x82, 0x01, 0x01}), 400u);
    EXPECT_EQ(fci_file_size({0x62, 0x08, 0x82, 0x01, 0x01, 0x81, 0x02, 0x02, 0x58}), 600u);
    // The last size item wins; an item of another length is not a size.
    EXPECT_EQ(fci_file_size({0x6F, 0x0A, 0x80, 0x02, 0x00, 0x10, 0x81, 0x02, 0x00, 0x20}), 0x20u);
    EXPECT_EQ(fci_file_size({0x6F, 0x04, 0x80, 0x02, 0x00, 0x00}), 0u);
    for (const Bytes& fci :
         {Bytes{0x6F}, Bytes{0x6F, 0x05, 0x80, 0x03, 0x00, 0x00, 0x10}, Bytes{0x70, 0x04, 0x80, 0x02, 0x01, 0x00},
          Bytes{0x6F, 0x04, 0x80, 0x02, 0x01}, Bytes{0x6F, 0x02, 0x82, 0xFF}}) {
        try {
            fci_file_size(fci);
            ADD_FAILURE() << to_hex(fci);
        } catch (const CEnumException<QUARK_ERROR>& e) {
            EXPECT_EQ(e.code(), QUARK_ERROR::Unexpected_data);
        }
    }
    EXPECT_THROW(fci_file_size({}), CCheckException);
}

TEST(Card_files, der_header_gives_the_certificate_length)
{
    auto code_of = [](const Bytes& bytes) {
        try {
            der_object_length(bytes);
        } catch (const Winapi_exception& e) {
            return e.code();
        }
        return 0u;
    };
    Bytes padded(0x400, 0x00);
    padded[0] = 0x30;
    padded[1] = 0x82;
    padded[2] = 0x03;
    padded[3] = 0x10;
    EXPECT_EQ(der_object_length(padded), 0x310u + 4);
    EXPECT_EQ(der_object_length({0x30, 0x01, 0xAA, 0x00}), 3u);
    EXPECT_EQ(der_object_length({0x30, 0x81, 0x01, 0xAA}), 4u);
    EXPECT_EQ(code_of({0x30}), 38u);
    EXPECT_EQ(code_of({}), 38u);
    EXPECT_EQ(code_of({0x30, 0x80, 0x00}), 13u);
    EXPECT_EQ(code_of({0x30, 0x85, 0, 0, 0, 0, 1}), 13u);
    // A length beyond what was read, also one that would overflow 32 bits.
    EXPECT_EQ(code_of({0x30, 0x05, 0x00}), 38u);
    EXPECT_EQ(code_of({0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF}), 38u);
    EXPECT_EQ(code_of({0x30, 0x82, 0x01}), 38u);
}

Bytes tlv(uint8_t tag, const Bytes& value)
{
    Bytes out{tag};
    if (value.size() >= 0x80)
        out.push_back(0x81);
    out.push_back(static_cast<uint8_t>(value.size()));
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes join(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes record(uint8_t tag, std::initializer_list<Bytes> items)
{
    return tlv(tag, tlv(0x31, join(items)));
}

TEST(Netlink_directory, the_three_directory_files_give_the_paths)
{
    const Bytes ef_dir =
        tlv(0x30, record(0xA0, {tlv(0x80, {0xA0, 0, 0, 0, 0x73}), tlv(0x82, {0xD0, 0x01}), tlv(0x84, {0x14, 0x00})}));
    EXPECT_EQ(NetLinkParser::netlink_file_id(ef_dir), 0xD001);

    Bytes ef_netlink =
        tlv(0x30, join({record(0xA0, {tlv(0x80, Bytes(100, 'R'))}),
                        record(0xA1, {tlv(0x80, {0x14, 0x00}), tlv(0x84, {0xD0, 0x04})}),
                        record(0xA3, {tlv(0x80, {0xD0, 0x02}), tlv(0x81, {0, 96}), tlv(0x82, {0xD0, 0x03}),
                                      tlv(0x84, {0xD0, 0x05}), tlv(0x86, {0xD0, 0x06})})}));
    ef_netlink.resize(ef_netlink.size() + 20, 0x00); // the file's padding
    const Netlink_directory directory = NetLinkParser::directory(ef_netlink);
    EXPECT_EQ(directory.directory, File_path{0x1400});
    EXPECT_EQ(directory.files.at(1), 0xD002);
    EXPECT_EQ(directory.files.at(2), 0xD003);
    EXPECT_EQ(directory.files.at(3), 0xD005);
    EXPECT_EQ(directory.files.at(4), 0xD006);

    const Bytes pointers = tlv(0x30, join({record(0xA5, {tlv(0x80, {'E', 'F', '.', 'N', 'E', 'T', 'K', 'I', 'T', 'A'}),
                                                         tlv(0x81, {0x14, 0x00, 0x14, 0x10, 0xD0, 0x07})}),
                                           record(0xA6, {tlv(0x80, {'E', 'F', '.', 'N', 'K', 'A', 'P'}),
                                                         tlv(0x81, {0x14, 0x00, 0x14, 0x10, 0xD0, 0x08})})}));
    const auto entries = NetLinkParser::pointers(pointers);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].first, "EF.NETKITA");
    EXPECT_EQ(entries[1].second, (File_path{0x1400, 0x1410, 0xD008}));
}

TEST(Netlink_directory, malformed_files_are_bad_format)
{
    const Bytes good = tlv(0x30, record(0xA0, {tlv(0x82, {0xD0, 0x01})}));
    std::vector<Bytes> bad = {
        {},
        {0x30},
        {0x31, 0x00},
        {0x30, 0x80, 0x00, 0x00}, // indefinite length
        {0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF}, // longer than the file
        tlv(0x30, tlv(0xA7, tlv(0x31, {}))), // record outside A0–A6
        tlv(0x30, tlv(0xA0, tlv(0x30, {}))), // record that is not a SET
        tlv(0x30, tlv(0xA0, join({tlv(0x31, {}), {0x00}}))), // bytes after the SET
        tlv(0x30, record(0xA0, {tlv(0x88, {0x01})})), // item outside 80–87
        tlv(0x30, record(0xA0, {tlv(0x82, {0xD0})})), // identifier of one byte
        tlv(0x30, record(0xA1, {tlv(0x80, {0x14})})), // no A0 with item 82
        Bytes(good.begin(), good.end() - 1), // truncated
    };
    for (const Bytes& bytes : bad)
        EXPECT_EQ(basic_code_of([&] { NetLinkParser::netlink_file_id(bytes); }), BASIC_ERRORS::Bad_format)
            << to_hex(bytes, " ");
    EXPECT_EQ(basic_code_of([&] { NetLinkParser::directory(good); }), BASIC_ERRORS::Bad_format);
    // An odd-length path in a pointer record.
    EXPECT_EQ(basic_code_of([] {
                  NetLinkParser::pointers(tlv(0x30, record(0xA5, {tlv(0x80, {'X'}), tlv(0x81, {0x14, 0x00, 0x14})})));
              }),
              BASIC_ERRORS::Bad_format);
}

} // namespace
