// What card is in the reader, from its ATR: whether it is a national service card (CNS), its
// chip manufacturer and card type, and the issuer named in its certificate.
#pragma once

#include "cardlib/iso7816_apdu.h"
#include "common/cns_atr.h"

#include <string>

namespace velin::cardlib {

// is_cns_atr: at least 16 bytes and "CNS" at ATR[n−7], ATR[n−6], ATR[n−5].
using velin::is_cns_atr;
// The 15 bytes ATR[n−16] … ATR[n−2]; std::invalid_argument for an ATR shorter than 16 bytes.
Bytes historical_part(const Bytes& atr);
// More than 8 bytes with ATR[0] 3B, ATR[6] 31, ATR[8] 55, ATR[9] 00: readable, not a CNS card.
bool matches_alternative_atr(const Bytes& atr);

// Tables of H[3] and H[7]; an unknown code is a std::runtime_error with the Italian text.
std::string manufacturer_name(uint8_t code);
std::string card_type_text(uint8_t code);

// The issuer of the certificate at the start of der, most specific component first
// ("CN=…, O=…, C=IT"); "Dato non disponibile" when der holds no certificate.
std::string certificate_issuer(const Bytes& der);

} // namespace velin::cardlib
