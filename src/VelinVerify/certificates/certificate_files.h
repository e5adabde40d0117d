// The files of the certificate list: what an imported file holds, and the bytes and proposed name
// of an exported certificate. No widgets here.
#pragma once

#include "common/failure.h"
#include "trust/certificate.h"
#include "trust/certificate_store.h"

#include <cstdint>
#include <string>
#include <vector>

namespace velin {

// The file filter of both file dialogs.
inline constexpr const char* Certificate_file_filter = "Certificato X509 (*.cer;*.crt)";

// What an imported file was found to hold.
struct Imported_certificate {
    enum class Outcome {
        Certificate, // one certificate: DER, PEM or a serialized store element
        Not_a_certificate, // recognised, but a message, a store, a list
        Undecodable, // unreadable or not recognised; error tells why
    };
    Outcome outcome = Outcome::Undecodable;
    Certificate certificate; // for Outcome::Certificate; may be empty if its bytes do not decode
    uint32_t error = 0; // for Outcome::Undecodable: the read error, or "no match"
};

// CRYPT_E_NO_MATCH: the bytes are of no kind that is recognised.
constexpr uint32_t Error_no_match = 0x80092009u;

// Reads the file (at most Store_file_max_size bytes) and recognises it as the import does: a
// PEM file of several certificates gives the first one.
Imported_certificate read_certificate_file(const std::string& path);

// One export: the certificate as a serialized store element of the store that holds it, with
// the properties the store keeps for it. Fails when the store does not hold it.
class Export_certificate : public Boolean_function<std::vector<uint8_t>> {
public:
    Export_certificate(const Certificate_store& store, const Certificate& certificate);
};

// The file name proposed for an export: the display name followed by ".crt", escaped as CRL
// cache names are, so that no byte of a certificate's name can leave the chosen folder.
std::string proposed_export_name(const Certificate& certificate);

} // namespace velin
