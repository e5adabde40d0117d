#include "cns_profile.h"

#include "atr.h"

#include <cstdio>
#include <stdexcept>

namespace cns_sim {

namespace {

// Item of a Netlink record: context-specific primitive, one-byte length.
Bytes item(std::uint8_t tag, Byte_view value)
{
    if (value.size() > 0x7F)
        throw std::logic_error("Netlink item too long for a one-byte length");
    return ber_tlv(tag, value);
}

Bytes item(std::uint8_t tag, std::string_view text)
{
    return item(tag, ascii(text));
}

Bytes u16(std::uint16_t v)
{
    return {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v & 0xFF)};
}

Bytes path_bytes(const File_path& path)
{
    Bytes out;
    for (std::uint16_t id : path) {
        out.push_back(static_cast<std::uint8_t>(id >> 8));
        out.push_back(static_cast<std::uint8_t>(id & 0xFF));
    }
    return out;
}

// Context-specific constructed record An holding one SET of items.
Bytes record(std::uint8_t tag, std::initializer_list<Bytes> items)
{
    Bytes set;
    for (const auto& i : items)
        set.insert(set.end(), i.begin(), i.end());
    return ber_tlv(tag, ber_tlv(0x31, set));
}

Bytes sequence(std::initializer_list<Bytes> records)
{
    Bytes body;
    for (const auto& r : records)
        body.insert(body.end(), r.begin(), r.end());
    return ber_tlv(0x30, body);
}

Bytes text_file(std::string_view text, std::size_t size)
{
    Bytes out = ascii(text);
    out.resize(size, 0x00);
    return out;
}

Bytes bcd(std::string_view digits)
{
    Bytes out;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>((digits[i] - '0') << 4 | (digits[i + 1] - '0')));
    return out;
}

struct Netlink_sizes {
    std::size_t nkcf, nkaf, nkef, nkep, netkita, nkap, nkpp;
};
constexpr Netlink_sizes sizes{96, 600, 120, 200, 64, 150, 80};

void add_netlink(Card_file_system& fs, const Holder_data& h)
{
    using namespace netlink;
    const File_path dir{df};
    fs.add_df(dir, aid());
    fs.add_df({df, sub_df});

    // Application directory: one A0 entry per application.
    //   80 AID, 81 label, 82 file identifier of EF.NETLINK, 83 version, 84 path of the DF.
    fs.add_ef({df, ef_dir},
              sequence({record(0xA0, {item(0x80, aid()), item(0x81, "NETLINK"), item(0x82, u16(ef_netlink)),
                                      item(0x83, Bytes{0x01}), item(0x84, path_bytes(dir))})}));

    // EF.NETLINK:
    //   A0 card:      80 issuer, 81 card number, 82 issue date, 83 expiry date, 84 version
    //   A1 directory: 80 path of the Netlink DF, 81 its name, 82 EF.DIR id, 83 EF.NETLINK id,
    //                 84 id of the pointer file (D004)
    //   A2 holder:    80 surname, 81 name, 82 fiscal code, 83 health authority, 84 region code
    //   A3 files:     80/81 EF.NKCF id/size, 82/83 EF.NKAF, 84/85 EF.NKEF, 86/87 EF.NKEP
    //   A4 access:    80 EF.NKCF, 81 EF.NKAF, 82 EF.NKEF, 83 EF.NKEP (00 free, 01 PIN),
    //                 84..87 reserved
    fs.add_ef({df, ef_netlink},
              sequence({
                  record(0xA0, {item(0x80, h.issuer_name), item(0x81, h.card_number), item(0x82, h.issue_date),
                                item(0x83, h.expiry_date), item(0x84, Bytes{0x02})}),
                  record(0xA1, {item(0x80, path_bytes(dir)), item(0x81, aid()), item(0x82, u16(ef_dir)),
                                item(0x83, u16(ef_netlink)), item(0x84, u16(ef_pointers))}),
                  record(0xA2, {item(0x80, h.surname), item(0x81, h.name), item(0x82, h.fiscal_code),
                                item(0x83, "ASL 3 VALDORA"), item(0x84, "VD")}),
                  record(0xA3, {item(0x80, u16(ef_nkcf)), item(0x81, u16(sizes.nkcf)), item(0x82, u16(ef_nkaf)),
                                item(0x83, u16(sizes.nkaf)), item(0x84, u16(ef_nkef)), item(0x85, u16(sizes.nkef)),
                                item(0x86, u16(ef_nkep)), item(0x87, u16(sizes.nkep))}),
                  record(0xA4, {item(0x80, Bytes{0x00}), item(0x81, Bytes{0x00}), item(0x82, Bytes{0x00}),
                                item(0x83, Bytes{0x01}), item(0x84, Bytes{0x00}), item(0x85, Bytes{0x00}),
                                item(0x86, Bytes{0x00}), item(0x87, Bytes{0x00})}),
              }));

    // Pointer file D004: one record per file that lives elsewhere.
    //   A5 free file, A6 PIN file; both: 80 name, 81 path from the MF, 82 size, 83 access,
    //   84 version
    auto pointer = [](std::uint8_t tag, std::string_view name, std::uint16_t fid, std::size_t size,
                      std::uint8_t access) {
        return record(tag, {item(0x80, name), item(0x81, path_bytes({df, sub_df, fid})),
                            item(0x82, u16(static_cast<std::uint16_t>(size))), item(0x83, Bytes{access}),
                            item(0x84, Bytes{0x01})});
    };
    fs.add_ef({df, ef_pointers}, sequence({pointer(0xA5, "EF.NETKITA", ef_netkita, sizes.netkita, 0x00),
                                           pointer(0xA6, "EF.NKAP", ef_nkap, sizes.nkap, 0x01),
                                           pointer(0xA6, "EF.NKPP", ef_nkpp, sizes.nkpp, 0x01)}));

    const std::string who = h.surname + " " + h.name;
    fs.add_ef({df, ef_nkcf}, text_file("NKCF;ENTE=" + h.issuer_name + ";CARTA=" + h.card_number, sizes.nkcf));
    fs.add_ef({df, ef_nkaf}, text_file("NKAF;TITOLARE=" + who + ";SESSO=" + h.sex + ";NASCITA=" + h.birth_date + "," +
                                           h.birth_town + ";RESIDENZA=" + h.residence_town + "," + h.address +
                                           ";ASL=ASL 3 VALDORA;MEDICO=DOTT. ELENA FRASSINETI,COD 0042117",
                                       sizes.nkaf));
    fs.add_ef({df, ef_nkef}, text_file("NKEF;GRUPPO SANGUIGNO=A RH+;ALLERGIE=NESSUNA NOTA", sizes.nkef));
    fs.add_ef({df, ef_nkep}, text_file("NKEP;TERAPIE IN CORSO=NESSUNA;CONTATTO=0000 000000", sizes.nkep), true);
    fs.add_ef({df, sub_df, ef_netkita}, text_file("NETKITA;KIT=02;PROFILO=CITTADINO", sizes.netkita));
    fs.add_ef({df, sub_df, ef_nkap}, text_file("NKAP;ESENZIONI=E01 REDDITO", sizes.nkap), true);
    fs.add_ef({df, sub_df, ef_nkpp}, text_file("NKPP;DATI RISERVATI", sizes.nkpp), true);
}

void add_cns_files(Card_file_system& fs, const Holder_data& h, const Bytes& certificate, const Bytes& ef_atr,
                   const std::optional<Bytes>& personal_data)
{
    fs.add_df({0x1000});
    fs.add_df({0x1100});
    fs.add_df({0x1200});
    // Chip data: fabrication data of the processor, invented.
    fs.add_ef({0x1000, 0x1002},
              Bytes{0x56, 0x4C, 0x00, 0x21, 0x04, 0x18, 0x20, 0x25, 0x07, 0x11, 0x00, 0x00, 0x3A, 0x9C, 0x51, 0x02});
    fs.add_ef({0x1000, 0x1003}, ascii(h.card_number)); // 16 bytes
    fs.add_ef({0x1100, 0x1101}, padded_certificate(certificate));
    fs.add_ef({0x1100, 0x1102}, personal_data ? *personal_data : dati_personali(h));
    fs.add_ef({0x1200, 0x1201}, Bytes{}); // kept for compatibility, holds nothing
    fs.add_ef({0x1200, 0x1202}, Bytes{0x00, 0x00, 0x5E, 0x20}); // free bytes, big-endian
    fs.add_ef({0x1200, 0x1203}, text_file("NETLINK", 32));
    fs.add_ef({0x1200, 0x4142}, text_file("INST;VELIN;3.3", 64));
    if (!ef_atr.empty())
        fs.add_ef({0x2F01}, ef_atr);
    fs.add_ef({0x2F02}, concat({ber_tlv(0x5A, bcd(h.card_number)), ber_tlv(0x5F20, ascii(h.surname + "<<" + h.name))}));
    fs.add_ef({0x3F02}, Bytes(8, 0x00)); // card status: reserved
    fs.add_ef({0x0405}, text_file("ROOT_INST;VELIN", 32));
    add_netlink(fs, h);
}

void add_keys(Card_image& image, const Profile_options& o)
{
    using namespace card_keys;
    if (!o.holder_key.empty()) {
        auto key = Card_key::from_bytes(o.holder_key, "holder key");
        image.files.add_ef({authentication_public_key}, key->public_key_der());
        image.config.keys.push_back({authentication_environment, Simulated_card::pin_reference, std::move(key)});
    }
    if (o.signature_certificate.empty() != o.signature_key.empty())
        throw std::invalid_argument("the signature application needs both its certificate and its key");
    if (!o.signature_key.empty()) {
        auto key = Card_key::from_bytes(o.signature_key, "signature key");
        image.files.add_ef({netlink::df, signature_certificate}, padded_certificate(o.signature_certificate));
        image.files.add_df({netlink::df, signature_key_df});
        image.files.add_ef({netlink::df, signature_key_df, signature_public_key}, key->public_key_der());
        image.config.keys.push_back({signature_environment, Simulated_card::signature_pin_reference, std::move(key)});
        image.config.signature_pin = true;
    }
}

} // namespace

std::optional<Profile_kind> profile_from_name(std::string_view name)
{
    for (auto kind : {Profile_kind::regional, Profile_kind::other_issuer, Profile_kind::non_cns,
                      Profile_kind::alternative_atr, Profile_kind::contactless})
        if (profile_name(kind) == name)
            return kind;
    return std::nullopt;
}

std::string_view profile_name(Profile_kind kind)
{
    switch (kind) {
    case Profile_kind::regional:
        return "regional";
    case Profile_kind::other_issuer:
        return "other";
    case Profile_kind::non_cns:
        return "noncns";
    case Profile_kind::alternative_atr:
        return "alt";
    case Profile_kind::contactless:
        return "contactless";
    }
    return "?";
}

Holder_data regional_holder()
{
    return {"7420091000000001",
            "Regione Valdora",
            "RVD01",
            "15012025",
            "15012031",
            "VERDELLI",
            "MARTA",
            "14031985",
            "F",
            "",
            "VRDMRT85C54L999W",
            "ITA",
            "L999",
            "",
            "",
            "L999",
            "VIA DEI LECCI 12",
            ""};
}

Holder_data other_holder()
{
    return {"7420095000000002",
            "Consorzio Telematico Sarnelo",
            "CTS07",
            "03062024",
            "03062030",
            "BRANCALEONI",
            "PIETRO",
            "02111972",
            "M",
            "178",
            "BRNPTR72S02L999Z",
            "ITA",
            "L999",
            "",
            "",
            "L999",
            "PIAZZA DEL MERCATO 3",
            ""};
}

Bytes ber_tlv(std::uint32_t tag, Byte_view value)
{
    Bytes out;
    if (tag > 0xFF)
        out.push_back(static_cast<std::uint8_t>(tag >> 8));
    out.push_back(static_cast<std::uint8_t>(tag & 0xFF));
    const std::size_t n = value.size();
    if (n < 0x80) {
        out.push_back(static_cast<std::uint8_t>(n));
    } else if (n <= 0xFF) {
        out.push_back(0x81);
        out.push_back(static_cast<std::uint8_t>(n));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<std::uint8_t>(n >> 8));
        out.push_back(static_cast<std::uint8_t>(n & 0xFF));
    }
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes dati_personali(const Holder_data& h)
{
    // Six hex digits with the length of what follows, then each field as two hex digits of
    // length and its characters; zero bytes fill the file.
    std::string fields;
    for (const std::string* f : {&h.issuer_code, &h.issue_date, &h.expiry_date, &h.surname, &h.name, &h.birth_date,
                                 &h.sex, &h.height, &h.fiscal_code, &h.citizenship, &h.birth_town, &h.birth_country,
                                 &h.birth_record, &h.residence_town, &h.address, &h.expatriation}) {
        char length[3];
        std::snprintf(length, sizeof length, "%02X", static_cast<unsigned>(f->size() & 0xFF));
        fields += length;
        fields += *f;
    }
    char total[7];
    std::snprintf(total, sizeof total, "%06X", static_cast<unsigned>(fields.size()));
    Bytes out = ascii(std::string(total) + fields);
    if (out.size() > 400)
        throw std::logic_error("personal data longer than the file");
    out.resize(400, 0x00);
    return out;
}

Bytes padded_certificate(Byte_view der)
{
    std::size_t size = 2048;
    while (size < der.size() + 256)
        size += 256;
    Bytes out(der.begin(), der.end());
    out.resize(size, 0x00);
    return out;
}

Bytes netlink::aid()
{
    return {0xA0, 0x00, 0x00, 0x00, 0x73};
}

Card_image build_card(const Profile_options& o)
{
    const bool cns_contact = o.kind == Profile_kind::regional || o.kind == Profile_kind::other_issuer;
    if (o.t0 && !cns_contact)
        throw std::invalid_argument("the T=0 variant exists for the regional and other profiles only");
    const std::uint8_t manufacturer = o.manufacturer.value_or(o.kind == Profile_kind::other_issuer ? 0x09 : 0x05);
    const std::uint8_t type = o.card_type.value_or(o.kind == Profile_kind::other_issuer ? 0xA1 : 0x21);
    const Bytes cns = cns_atr(manufacturer, type, !o.t0);

    Card_image image{Card_config{}, Card_file_system{}};
    Card_config& c = image.config;
    c.t0 = o.t0;
    c.path_select = o.path_select;
    c.fci =
        o.fci.value_or(o.kind == Profile_kind::other_issuer ? Fci_style::fcp_62_size_81 : Fci_style::fci_6f_size_80);
    c.pin_failure = o.pin_failure;
    c.forced_status = o.forced_status;

    const Holder_data holder = o.kind == Profile_kind::other_issuer ? other_holder() : regional_holder();
    switch (o.kind) {
    case Profile_kind::regional:
    case Profile_kind::other_issuer:
        c.atr = cns;
        add_cns_files(image.files, holder, o.holder_certificate, cns, o.personal_data);
        break;
    case Profile_kind::contactless:
        c.atr = contactless_reader_atr();
        add_cns_files(image.files, holder, o.holder_certificate, cns, o.personal_data);
        break;
    case Profile_kind::alternative_atr:
        c.atr = alternative_pattern_atr();
        add_cns_files(image.files, holder, o.holder_certificate, c.atr, o.personal_data);
        break;
    case Profile_kind::non_cns:
        c.atr = foreign_atr();
        break;
    }
    if (o.kind != Profile_kind::non_cns)
        add_keys(image, o);
    if (!o.reader_atr.empty()) {
        if (o.reader_atr.size() < 2 || o.reader_atr.size() > 33)
            throw std::invalid_argument("an ATR has 2 to 33 bytes");
        c.atr = o.reader_atr;
    }
    for (const auto& path : o.extra_protected) {
        Card_file* f = image.files.find(path);
        if (f == nullptr || f->dedicated)
            throw std::invalid_argument("no elementary file at the path to protect");
        f->pin_protected = true;
    }
    return image;
}

} // namespace cns_sim
