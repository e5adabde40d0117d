// What is on each kind of simulated card: the ATR, the files below 3F00 with their content, the
// Netlink application, and the switches that make a card misbehave on purpose.
#pragma once

#include "card_file_system.h"
#include "simulated_card.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cns_sim {

enum class Profile_kind {
    regional, // CNS card, holder certificate from the regional citizens' CA
    other_issuer, // CNS card of another issuer
    non_cns, // some other card: foreign ATR, MF only
    alternative_atr, // not CNS by its ATR, but matches the alternative pattern; CNS files
    contactless, // CNS chip behind a contactless reader: reader ATR without "CNS", EF_ATR with it
};

std::optional<Profile_kind> profile_from_name(std::string_view name);
std::string_view profile_name(Profile_kind kind);

struct Holder_data {
    std::string card_number; // 16 digits, EF.ID_CARTA
    std::string issuer_name;
    std::string issuer_code;
    std::string issue_date; // ddmmyyyy
    std::string expiry_date;
    std::string surname;
    std::string name;
    std::string birth_date;
    std::string sex;
    std::string height;
    std::string fiscal_code;
    std::string citizenship;
    std::string birth_town;
    std::string birth_country;
    std::string birth_record;
    std::string residence_town;
    std::string address;
    std::string expatriation;
};

Holder_data regional_holder();
Holder_data other_holder();

struct Profile_options {
    Profile_kind kind = Profile_kind::regional;
    std::optional<std::uint8_t> manufacturer; // H[3]
    std::optional<std::uint8_t> card_type; // H[7]
    bool t0 = false;
    bool path_select = true;
    std::optional<Fci_style> fci;
    Pin_failure_style pin_failure = Pin_failure_style::retries_63cx;
    std::map<std::uint8_t, std::uint16_t> forced_status; // INS -> status word
    Bytes reader_atr; // replaces the profile's reader ATR when set
    Bytes holder_certificate; // DER; padded on the card
    Bytes holder_key; // its private key (PEM or DER); none: the card cannot sign
    Bytes signature_certificate; // DER of the signature application's certificate, if any
    Bytes signature_key; // and its private key
    std::optional<Bytes> personal_data; // EF.Dati_personali as given, instead of the holder's
    std::vector<File_path> extra_protected; // free files made PIN-protected
};

struct Card_image {
    Card_config config;
    Card_file_system files;
};

// Throws std::invalid_argument for combinations that do not describe a card (a T=0 variant of a
// card whose ATR is not a CNS ATR, a protected path that names no EF).
Card_image build_card(const Profile_options& options);

// Contents, exposed so that tests can check their layout.
Bytes dati_personali(const Holder_data& holder); // 400 bytes
Bytes padded_certificate(Byte_view der);
Bytes ber_tlv(std::uint32_t tag, Byte_view value);

// Where the keys live, as CNS cards keep them. The authentication key answers to security
// environment 01 under PIN 10, its certificate in 1100/1101 and its public key in 3F01; the
// signature application in DF 1400 has its certificate in 9010, its private key in DF 8110 with
// the public key in 8110/8010, security environment 10 and PIN 1A.
namespace card_keys {
constexpr std::uint8_t authentication_environment = 0x01;
constexpr std::uint8_t signature_environment = 0x10;
constexpr std::uint16_t authentication_public_key = 0x3F01;
constexpr std::uint16_t signature_certificate = 0x9010;
constexpr std::uint16_t signature_key_df = 0x8110;
constexpr std::uint16_t signature_public_key = 0x8010;
} // namespace card_keys

// Netlink application: DF 1400 named A0 00 00 00 73.
namespace netlink {
constexpr std::uint16_t df = 0x1400;
constexpr std::uint16_t sub_df = 0x1410;
constexpr std::uint16_t ef_dir = 0x2F00;
constexpr std::uint16_t ef_netlink = 0xD001;
constexpr std::uint16_t ef_nkcf = 0xD002;
constexpr std::uint16_t ef_nkaf = 0xD003;
constexpr std::uint16_t ef_pointers = 0xD004;
constexpr std::uint16_t ef_nkef = 0xD005;
constexpr std::uint16_t ef_nkep = 0xD006;
constexpr std::uint16_t ef_netkita = 0xD007;
constexpr std::uint16_t ef_nkap = 0xD008;
constexpr std::uint16_t ef_nkpp = 0xD009;
Bytes aid();
} // namespace netlink

} // namespace cns_sim
