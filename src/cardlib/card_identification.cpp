#include "cardlib/card_identification.h"

#include "cardlib/card_exceptions.h"
#include "cardlib/card_file_reader.h"
#include "cardlib/scard.h"
#include "common/openssl_encoding.h"
#include "common/owner.h"
#include "common/trace.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <memory>
#include <optional>
#include <stdexcept>

namespace velin::cardlib {

namespace {

// The attribute keys of the X.500 name string; other attributes are written "OID.n.n.n".
const char* x500_key(int nid)
{
    switch (nid) {
    case NID_commonName:
        return "CN";
    case NID_localityName:
        return "L";
    case NID_organizationName:
        return "O";
    case NID_organizationalUnitName:
        return "OU";
    case NID_pkcs9_emailAddress:
        return "E";
    case NID_countryName:
        return "C";
    case NID_stateOrProvinceName:
        return "S";
    case NID_streetAddress:
        return "STREET";
    case NID_title:
        return "T";
    case NID_givenName:
        return "G";
    case NID_initials:
        return "I";
    case NID_surname:
        return "SN";
    case NID_domainComponent:
        return "DC";
    case NID_serialNumber:
        return "SERIALNUMBER";
    default:
        return nullptr;
    }
}

// Values with separators, quotes or outer blanks are quoted, inner quotes doubled.
std::string x500_value(const std::string& value)
{
    bool quote = value.empty() || value.front() == ' ' || value.back() == ' ';
    for (char c : value)
        if (std::string_view(",+=\"\n<>#;").find(c) != std::string_view::npos)
            quote = true;
    if (!quote)
        return value;
    std::string quoted = "\"";
    for (char c : value) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

std::string x500_name_reversed(const X509_NAME* name)
{
    std::vector<std::string> rdns;
    int current_set = -1;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        const ASN1_OBJECT* object = X509_NAME_ENTRY_get_object(entry);
        std::string key;
        if (const char* known = x500_key(OBJ_obj2nid(object))) {
            key = known;
        } else {
            const std::string oid = oid_text(object);
            if (oid.empty())
                throw Winapi_exception(13);
            key = "OID." + oid;
        }
        const std::optional<std::string> value = utf8_of(X509_NAME_ENTRY_get_data(entry));
        if (!value)
            throw Winapi_exception(13);
        const std::string attribute = key + "=" + x500_value(*value);
        const int set = X509_NAME_ENTRY_set(entry);
        if (set == current_set && !rdns.empty())
            rdns.back() += " + " + attribute;
        else
            rdns.push_back(attribute);
        current_set = set;
    }
    std::string text;
    for (auto rdn = rdns.rbegin(); rdn != rdns.rend(); ++rdn)
        text += (text.empty() ? "" : ", ") + *rdn;
    return text;
}

} // namespace

Bytes historical_part(const Bytes& atr)
{
    if (atr.size() < 16)
        throw std::invalid_argument("L'ATR non segue le specifiche della Carta Velin.");
    return Bytes(atr.end() - 16, atr.end() - 1);
}

bool matches_alternative_atr(const Bytes& atr)
{
    return atr.size() > 8 && atr[0] == 0x3B && atr[6] == 0x31 && atr[8] == 0x55 && atr.size() > 9 && atr[9] == 0x00;
}

std::string manufacturer_name(uint8_t code)
{
    switch (code) {
    case 0x01:
        return "Kaitech";
    case 0x02:
        return "Gemplus";
    case 0x03:
        return "Ghirlanda";
    case 0x04:
        return "Giesecke & Devrient";
    case 0x05:
        return "Oberthur Card Systems";
    case 0x06:
        return "Orga";
    case 0x07:
        return "Axalto";
    case 0x08:
        return "Siemens";
    case 0x09:
        return "STIncard";
    case 0x10:
        return "GEP";
    case 0x11:
        return "EPS Corp";
    default:
        throw std::runtime_error("Codice produttore sconosciuto.");
    }
}

std::string card_type_text(uint8_t code)
{
    switch (code) {
    case 0x01:
        return "Carta cittadino demo con il set di chiavi del prototipo";
    case 0x11:
        return "Carta cittadino reale con il set di chiavi del prototipo";
    case 0x21:
        return "Carta cittadino reale con il nuovo set di chiavi";
    case 0xA1:
        return "Carta cittadino demo con il nuovo set di chiavi";
    default:
        throw std::runtime_error("Codice tipo carta sconosciuto.");
    }
}

std::string certificate_issuer(const Bytes& der)
{
    const unsigned char* cursor = der.data();
    const Owner<X509> certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    if (!certificate) {
        Trace(Trace_kind, Level_warn) << "Il certificato della carta non è leggibile";
        return "Dato non disponibile";
    }
    return x500_name_reversed(X509_get_issuer_name(certificate.get()));
}

const Bytes& SCard::card_atr()
{
    if (!_card_atr) {
        if (is_cns_atr(atr())) {
            _card_atr = atr();
        } else {
            Card_transaction transaction(_card, SCARD_LEAVE_CARD);
            _card_atr = read_path(*this, File_path{0x2F01});
            Trace(Trace_kind, Level_info) << "ATR della carta (EF_ATR): " << to_hex(*_card_atr, " ");
        }
    }
    return *_card_atr;
}

} // namespace velin::cardlib
