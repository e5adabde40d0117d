// What is stored on each kind of card: the fixed-path files, the holder's data, the certificate
// and the Netlink directory, read back through APDUs and checked with independent parsers.
#include "atr.h"
#include "test_support.h"

#include <openssl/x509.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>

namespace cns_sim::test {
namespace {

Bytes path_apdu(const File_path& path)
{
    Bytes cmd = {0x00, 0xA4, 0x08, 0x00, static_cast<std::uint8_t>(path.size() * 2)};
    for (std::uint16_t id : path) {
        cmd.push_back(static_cast<std::uint8_t>(id >> 8));
        cmd.push_back(static_cast<std::uint8_t>(id & 0xFF));
    }
    cmd.push_back(0x00);
    return cmd;
}

// Selects by path and reads the whole EF; nullopt with the failing status word otherwise.
Bytes read_file(Test_card& t, const File_path& path, std::uint16_t* failure = nullptr)
{
    const Bytes fci = t.card->process(path_apdu(path));
    if (status_of(fci) != sw::ok) {
        if (failure)
            *failure = status_of(fci);
        return {};
    }
    const long size = fci_size(data_of(fci));
    Bytes out;
    while (out.size() < static_cast<std::size_t>(size)) {
        const std::size_t n = std::min<std::size_t>(254, static_cast<std::size_t>(size) - out.size());
        const Bytes reply =
            t.card->process(Bytes{0x00, 0xB0, static_cast<std::uint8_t>(out.size() >> 8),
                                  static_cast<std::uint8_t>(out.size() & 0xFF), static_cast<std::uint8_t>(n)});
        if (status_of(reply) != sw::ok) {
            if (failure)
                *failure = status_of(reply);
            return {};
        }
        const Bytes d = data_of(reply);
        out.insert(out.end(), d.begin(), d.end());
    }
    return out;
}

// Minimal BER reader: one TLV at `pos` (tag of one or two bytes, definite length).
struct Tlv {
    std::uint32_t tag = 0;
    Bytes value;
    std::size_t end = 0;
};

Tlv read_tlv(const Bytes& b, std::size_t pos)
{
    Tlv t;
    t.tag = b.at(pos++);
    if ((t.tag & 0x1F) == 0x1F)
        t.tag = t.tag << 8 | b.at(pos++);
    std::size_t len = b.at(pos++);
    if (len == 0x81) {
        len = b.at(pos++);
    } else if (len == 0x82) {
        len = static_cast<std::size_t>(b.at(pos) << 8 | b.at(pos + 1));
        pos += 2;
    } else if (len > 0x7F) {
        throw std::runtime_error("unexpected length form");
    }
    if (pos + len > b.size())
        throw std::runtime_error("TLV beyond the data");
    t.value.assign(b.begin() + static_cast<std::ptrdiff_t>(pos), b.begin() + static_cast<std::ptrdiff_t>(pos + len));
    t.end = pos + len;
    return t;
}

using Record = std::map<std::uint8_t, Bytes>;
// A Netlink directory file: SEQUENCE of records A0..A6, each a SET of primitive 8x items with
// one-byte lengths. Returns the records in order with their tag.
std::vector<std::pair<std::uint8_t, Record>> parse_directory(const Bytes& file)
{
    const Tlv seq = read_tlv(file, 0);
    EXPECT_EQ(seq.tag, 0x30u);
    std::vector<std::pair<std::uint8_t, Record>> out;
    for (std::size_t pos = 0; pos < seq.value.size();) {
        const Tlv rec = read_tlv(seq.value, pos);
        EXPECT_GE(rec.tag, 0xA0u);
        EXPECT_LE(rec.tag, 0xA6u);
        const Tlv set = read_tlv(rec.value, 0);
        EXPECT_EQ(set.tag, 0x31u);
        EXPECT_EQ(set.end, rec.value.size());
        Record items;
        for (std::size_t p = 0; p < set.value.size();) {
            EXPECT_LT(set.value.at(p + 1), 0x80) << "item lengths are one byte";
            const Tlv it = read_tlv(set.value, p);
            EXPECT_GE(it.tag, 0x80u);
            EXPECT_LE(it.tag, 0x87u);
            items[static_cast<std::uint8_t>(it.tag)] = it.value;
            p = it.end;
        }
        out.emplace_back(static_cast<std::uint8_t>(rec.tag), items);
        pos = rec.end;
    }
    EXPECT_EQ(seq.end, file.size() - 0) << "nothing after the SEQUENCE";
    return out;
}

File_path to_path(const Bytes& b)
{
    File_path p;
    for (std::size_t i = 0; i + 1 < b.size(); i += 2)
        p.push_back(static_cast<std::uint16_t>(b[i] << 8 | b[i + 1]));
    return p;
}

std::uint16_t u16(const Bytes& b)
{
    return static_cast<std::uint16_t>(b.at(0) << 8 | b.at(1));
}

const std::vector<File_path> fixed_path_files = {{0x1000, 0x1002}, {0x1000, 0x1003}, {0x1100, 0x1101}, {0x1100, 0x1102},
                                                 {0x1200, 0x1201}, {0x1200, 0x1202}, {0x1200, 0x1203}, {0x1200, 0x4142},
                                                 {0x2F01},         {0x2F02},         {0x3F02},         {0x0405}};

TEST(Content, EveryFixedPathFileIsReadableWithoutPin)
{
    for (auto kind : {Profile_kind::regional, Profile_kind::other_issuer, Profile_kind::alternative_atr,
                      Profile_kind::contactless}) {
        Test_card t(profile(kind));
        for (const auto& path : fixed_path_files) {
            std::uint16_t failure = 0;
            read_file(t, path, &failure);
            EXPECT_EQ(failure, 0) << profile_name(kind) << " " << std::hex << path.back();
        }
        EXPECT_EQ(read_file(t, {0x1000, 0x1003}).size(), 16u);
        EXPECT_EQ(read_file(t, {0x1100, 0x1102}).size(), 400u);
    }
    Test_card foreign(profile(Profile_kind::non_cns));
    for (const auto& path : fixed_path_files) {
        std::uint16_t failure = 0;
        read_file(foreign, path, &failure);
        EXPECT_EQ(failure, sw::file_not_found);
    }
}

// Fields of the personal data file: 6 hex digits of total length, then 2 hex digits + text.
std::vector<std::string> personal_fields(const Bytes& file)
{
    const std::string text(file.begin(), file.end());
    const std::size_t total = std::stoul(text.substr(0, 6), nullptr, 16);
    std::vector<std::string> fields;
    std::size_t pos = 6;
    while (pos < 6 + total) {
        const std::size_t len = std::stoul(text.substr(pos, 2), nullptr, 16);
        fields.push_back(text.substr(pos + 2, len));
        pos += 2 + len;
    }
    EXPECT_EQ(pos, 6 + total);
    for (std::size_t i = pos; i < file.size(); ++i)
        EXPECT_EQ(file[i], 0) << "padding at " << i;
    return fields;
}

TEST(Content, PersonalDataFollowsTheCnsLayout)
{
    Test_card t;
    const auto fields = personal_fields(read_file(t, {0x1100, 0x1102}));
    ASSERT_GE(fields.size(), 10u);
    const Holder_data h = regional_holder();
    EXPECT_EQ(fields[0], h.issuer_code);
    EXPECT_EQ(fields[1], "15012025");
    EXPECT_EQ(fields[2], "15012031");
    EXPECT_EQ(fields[3], "VERDELLI");
    EXPECT_EQ(fields[4], "MARTA");
    EXPECT_EQ(fields[5], "14031985");
    EXPECT_EQ(fields[6], "F");
    EXPECT_EQ(fields[7], "") << "height left empty";
    EXPECT_EQ(fields[8], "VRDMRT85C54L999W");
    EXPECT_EQ(fields[9], "ITA");

    Test_card other(profile(Profile_kind::other_issuer));
    const auto f2 = personal_fields(read_file(other, {0x1100, 0x1102}));
    EXPECT_EQ(f2[3], "BRANCALEONI");
    EXPECT_EQ(f2[7], "178");
    const Bytes serial = read_file(other, {0x1000, 0x1003});
    EXPECT_EQ(std::string(serial.begin(), serial.end()), "7420095000000002");
}

std::string issuer_of(const Bytes& der)
{
    const unsigned char* p = der.data();
    std::unique_ptr<X509, decltype(&X509_free)> cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())), X509_free);
    if (!cert)
        return "(not a certificate)";
    char buf[512];
    X509_NAME_oneline(X509_get_issuer_name(cert.get()), buf, sizeof buf);
    return buf;
}

TEST(Content, CertificateFileIsTheFixtureDerFollowedByPadding)
{
    for (auto [kind, fixture_name] : {std::pair{Profile_kind::regional, "holder-regional.cert.der"},
                                      std::pair{Profile_kind::other_issuer, "holder-other.cert.der"}}) {
        Test_card t(profile(kind));
        const Bytes file = read_file(t, {0x1100, 0x1101});
        const Bytes der = fixture(fixture_name);
        ASSERT_GT(file.size(), der.size());
        EXPECT_GT(file.size(), 254u * 2) << "needs several READ BINARY chunks";
        // Length from the DER header, as a host cuts the padding.
        ASSERT_EQ(file[0], 0x30);
        ASSERT_EQ(file[1], 0x82);
        const std::size_t length = static_cast<std::size_t>(file[2] << 8 | file[3]) + 4;
        EXPECT_EQ(length, der.size());
        EXPECT_EQ(Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(length)), der);
        const bool regional = issuer_of(Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(length)))
                                  .find("Regione Valdora Certification Authority Cittadini") != std::string::npos;
        EXPECT_EQ(regional, kind == Profile_kind::regional);
    }
}

TEST(Content, AtrFileHoldsTheCnsAtrEvenBehindAContactlessReader)
{
    Test_card contact(profile(Profile_kind::regional));
    EXPECT_EQ(read_file(contact, {0x2F01}), contact.card->atr());

    Test_card contactless(profile(Profile_kind::contactless));
    const Bytes ef_atr = read_file(contactless, {0x2F01});
    EXPECT_EQ(ef_atr, cns_atr(0x05, 0x21, true));
    EXPECT_NE(contactless.card->atr(), ef_atr);

    Test_card alt(profile(Profile_kind::alternative_atr));
    EXPECT_EQ(read_file(alt, {0x2F01}), alternative_pattern_atr()) << "not CNS by either ATR";

    Profile_options custom = profile(Profile_kind::contactless);
    custom.manufacturer = 0x0A;
    custom.card_type = 0x11;
    Test_card custom_card(custom);
    const Bytes custom_atr = read_file(custom_card, {0x2F01});
    EXPECT_EQ(custom_atr[custom_atr.size() - 16 + 3], 0x0A);
    EXPECT_EQ(custom_atr[custom_atr.size() - 16 + 7], 0x11);
}

TEST(Content, NetlinkDirectoryLeadsToEveryNetlinkFile)
{
    Test_card t;
    // Discovery as a host does it: MF, application by name, its directory 2F00.
    ASSERT_EQ(t.sw("00 A4 00 00 00"), sw::ok);
    ASSERT_EQ(t.sw("00 A4 04 00 05 A0 00 00 00 73 00"), sw::ok);
    const Bytes dir_fci = t.send("00 A4 00 00 02 2F 00 00");
    ASSERT_EQ(status_of(dir_fci), sw::ok);
    const auto dir = parse_directory(read_file(t, {netlink::df, 0x2F00}));
    ASSERT_EQ(dir.size(), 1u);
    EXPECT_EQ(dir[0].first, 0xA0);
    EXPECT_EQ(dir[0].second.at(0x80), netlink::aid());
    const std::uint16_t n = u16(dir[0].second.at(0x82));

    ASSERT_EQ(t.sw("00 A4 04 00 05 A0 00 00 00 73 00"), sw::ok);
    const Bytes select_n = {
        0x00, 0xA4, 0x00, 0x00, 0x02, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n & 0xFF), 0x00};
    ASSERT_EQ(status_of(t.card->process(select_n)), sw::ok);
    const auto netlink_records = parse_directory(read_file(t, {netlink::df, n}));
    std::map<std::uint8_t, Record> by_tag;
    for (const auto& [tag, rec] : netlink_records)
        by_tag[tag] = rec;
    ASSERT_EQ(by_tag.size(), 5u) << "A0..A4";
    const File_path d = to_path(by_tag[0xA1].at(0x80));
    EXPECT_EQ(d, File_path{netlink::df});
    EXPECT_EQ(u16(by_tag[0xA1].at(0x83)), n);

    // A3 names the four files of the Netlink DF with their sizes; A4 their access.
    const Record& files = by_tag[0xA3];
    const Record& access = by_tag[0xA4];
    for (std::uint8_t k = 0; k < 4; ++k) {
        File_path p = d;
        p.push_back(u16(files.at(static_cast<std::uint8_t>(0x80 + 2 * k))));
        const std::size_t size = u16(files.at(static_cast<std::uint8_t>(0x81 + 2 * k)));
        std::uint16_t failure = 0;
        const Bytes content = read_file(t, p, &failure);
        const bool pin = access.at(static_cast<std::uint8_t>(0x80 + k)).at(0) == 0x01;
        EXPECT_EQ(failure, pin ? sw::security_not_satisfied : 0) << std::hex << p.back();
        if (!pin) {
            EXPECT_EQ(content.size(), size);
        }
    }

    // D004, reached by path below D, points at the remaining three files.
    File_path pointer_path = d;
    pointer_path.push_back(u16(by_tag[0xA1].at(0x84)));
    EXPECT_EQ(pointer_path.back(), 0xD004);
    const auto pointers = parse_directory(read_file(t, pointer_path));
    std::map<std::string, std::pair<std::uint8_t, File_path>> named;
    for (const auto& [tag, rec] : pointers)
        named[std::string(rec.at(0x80).begin(), rec.at(0x80).end())] = {tag, to_path(rec.at(0x81))};
    ASSERT_EQ(named.size(), 3u);
    EXPECT_EQ(named["EF.NETKITA"].first, 0xA5);
    EXPECT_EQ(named["EF.NKAP"].first, 0xA6);
    EXPECT_EQ(named["EF.NKPP"].first, 0xA6);
    std::uint16_t failure = 0;
    EXPECT_FALSE(read_file(t, named["EF.NETKITA"].second, &failure).empty());
    for (const char* protected_name : {"EF.NKAP", "EF.NKPP"}) {
        failure = 0;
        read_file(t, named[protected_name].second, &failure);
        EXPECT_EQ(failure, sw::security_not_satisfied) << protected_name;
    }
    ASSERT_EQ(t.sw("00 20 00 10 08 31 32 33 34 35 FF FF FF"), sw::ok);
    for (const char* protected_name : {"EF.NKAP", "EF.NKPP"})
        EXPECT_FALSE(read_file(t, named[protected_name].second).empty()) << protected_name;
}

TEST(Content, ImpossibleCardsAreRefused)
{
    Profile_options t0_foreign = profile(Profile_kind::non_cns);
    t0_foreign.t0 = true;
    EXPECT_THROW(build_card(t0_foreign), std::invalid_argument);
    Profile_options bad_protect = profile(Profile_kind::regional);
    bad_protect.extra_protected.push_back({0x1100});
    EXPECT_THROW(build_card(bad_protect), std::invalid_argument) << "a DF is not a file to protect";
    bad_protect.extra_protected = {{0x7777}};
    EXPECT_THROW(build_card(bad_protect), std::invalid_argument);
}

} // namespace
} // namespace cns_sim::test
