// What the certificate viewer and the certificate list show of a certificate, as plain text:
// names, dates, intended uses, every field and extension, and the certification path as the
// verifier's chain building finds it. No widgets here, so all of it is checked without a display.
#pragma once

#include "trust/certificate.h"
#include "trust/trusted_store.h"

#include <openssl/x509.h>

#include <cstddef>
#include <ctime>
#include <string>
#include <vector>

namespace velin {

// The attribute values of a name, last attribute first, separated by ", "; the values of one
// multi-valued attribute joined by " + ". A value holding any of , + = " < > # ; or a line break,
// or starting or ending with a blank, is put in double quotes with its own quotes doubled.
std::string name_values_reversed(const X509_NAME* name);

// The text of a certificate in the certificate list: name_values_reversed of its subject.
std::string certificate_list_text(const Certificate& certificate);

// The name a person reads: common name, else unit, organisation, e-mail, else the first value.
std::string simple_display_name(const X509_NAME* name);

// One attribute per line, last attribute first: "CN = Mario Rossi".
std::string name_lines(const X509_NAME* name);

// Local time: "31/12/2045" and "31/12/2045 23:59:59"; "" for a time that cannot be read.
std::string local_date_text(const ASN1_TIME* time);
std::string local_date_time_text(const ASN1_TIME* time);

struct Certificate_general {
    std::string issued_to;
    std::string issued_by;
    std::string valid_from;
    std::string valid_to;
    // From the key usage and the extended key usage; "Tutti gli usi" when neither restricts.
    std::vector<std::string> intended_uses;
};

Certificate_general certificate_general(const Certificate& certificate);

struct Certificate_field {
    std::string name; // "Numero di serie", or an extension's name as OpenSSL knows it
    std::string value; // one line, for the list of fields
    std::string full_text; // the whole value, several lines where there are
};

// Version, serial number, signature algorithm, issuer, validity, subject, public key, every
// extension (its name, OID, criticality and value as OpenSSL prints it), the friendly name when
// the store gave one, and the SHA-1 thumbprint.
std::vector<Certificate_field> certificate_fields(const Certificate& certificate);

struct Certification_path {
    // Root (or the highest certificate found) first, the certificate itself last.
    std::vector<Certificate> certificates;
    // A trusted root was reached, as chain building decides it.
    bool complete = false;
};

// The path of a certificate through the merged store of the trusted lists. Without a merged
// store the path holds the certificate alone, incomplete.
Certification_path certification_path(const Trusted_store& store, const Certificate& certificate);

// What the path page says of the certificate at index (0: the top of the path), now being now.
std::string certification_status_text(const Certification_path& path, size_t index, std::time_t now);

} // namespace velin
