// The long-term data a XAdES signature carries among its unsigned signature properties: the
// certificates and revocation values for its validation later on (CertificateValues,
// RevocationValues, and the TimeStampValidationData of the 1.4.1 namespace for its time stamps),
// and the references to such values (CompleteCertificateRefs, CompleteRevocationRefs). Nothing
// here is trusted: the values are bytes for the chain building and the revocation checking, which
// judge them as they judge a CAdES signer's values.
#pragma once

#include "envelope/validation_data.h"

#include <libxml/tree.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace velin {

inline constexpr const char* Xades141_ns = "http://uri.etsi.org/01903/v1.4.1#";
// The namespaces of the XAdES elements read, the 1.3.2 one first.
inline constexpr const char* Xades_all_namespaces[] = {"http://uri.etsi.org/01903/v1.3.2#",
                                                       "http://uri.etsi.org/01903/v1.1.1#", nullptr};

// A value whose base64 text is longer than this is left out (a large authority's CRL stays far
// below it); so is whatever comes after this much text of values in one signature.
constexpr size_t Xml_value_max_text = 32u * 1024 * 1024;
constexpr size_t Xml_values_max_text = 64u * 1024 * 1024;

// The problems of references that name no value the signature carries, as the time stamps over
// them say them.
inline constexpr const char* Xml_text_certificate_reference =
    "Un certificato indicato tra i riferimenti della firma non è tra i certificati che la firma contiene: i dati "
    "per la verifica nel tempo sono stati modificati.";
inline constexpr const char* Xml_text_revocation_reference =
    "Una lista di revoca o una risposta OCSP indicata tra i riferimenti della firma non è tra quelle che la firma "
    "contiene: i dati per la verifica nel tempo sono stati modificati.";

// The values of a CertificateValues, RevocationValues or TimeStampValidationData element, added to
// data (at most Validation_item_limit of a kind; what does not decode is left out). budget is the
// base64 text still allowed, lowered by what is read.
void add_xml_values(const xmlNode* element, Validation_data& data, size_t& budget);

// Matches the references of CompleteCertificateRefs and CompleteRevocationRefs elements to the
// values a signature carries (certificates: also those of its KeyInfo), each value's digest made
// once for each algorithm the references use. At most Validation_item_limit references are
// followed in all; past them every element is taken as naming nothing.
class Xml_reference_matcher {
public:
    // values must outlive the matcher.
    Xml_reference_matcher(const Validation_data& values, std::vector<std::vector<uint8_t>> key_info_certificates);
    Xml_reference_matcher(Validation_data&& values, std::vector<std::vector<uint8_t>> key_info_certificates) = delete;

    // What is wrong with the element (any other than those two gives nothing): a reference whose
    // digest names none of the values, or of an algorithm not read. Empty when every reference
    // with a digest names a value.
    std::string unmatched(const xmlNode* element);

private:
    enum class Kind { Certificates, Crls, Answers };
    const std::set<std::vector<uint8_t>>& digests(Kind kind, int nid);
    bool every_reference_named(const xmlNode* holder, const char* name, const char* digest_name, Kind kind);

    const Validation_data& _values;
    const std::vector<std::vector<uint8_t>> _key_info;
    std::map<std::pair<int, int>, std::set<std::vector<uint8_t>>> _digests;
    size_t _references = 0;
};

} // namespace velin
