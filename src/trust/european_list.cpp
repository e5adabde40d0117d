#include "trust/european_list.h"

#include "common/trace.h"

#include <openssl/sha.h>

#include <algorithm>
#include <cctype>

namespace velin {

namespace {

bool holds(const std::vector<Certificate>& certificates, const Certificate& certificate)
{
    return std::any_of(certificates.begin(), certificates.end(),
                       [&](const Certificate& held) { return held.is_valid() && held == certificate; });
}

// What a verified list announces for the lists after it: the certificates of its pointers to the
// European list in XML (the list's own entry, in the European list and in each pivot).
std::vector<Certificate> announced_signers(const Trusted_list& list)
{
    std::vector<Certificate> signers;
    for (const List_pointer& pointer : list.pointers)
        if (pointer.territory == "EU" && pointer.mime_type == tsl_uri::Tsl_mime_type)
            signers.insert(signers.end(), pointer.certificates.begin(), pointer.certificates.end());
    return signers;
}

std::string unknown_signer_text(const Certificate& signer)
{
    return "Il certificato che ha firmato la lista non è tra quelli attesi e nessuna catena di liste pivot lo "
           "collega a uno di essi. Impronta SHA-256 del certificato: " +
           sha256_fingerprint(signer) +
           ". Confrontarla con le impronte pubblicate nella Gazzetta ufficiale dell'Unione europea: se vi compare, "
           "l'amministratore può aggiungere il certificato al file data/eu-lotl-signers.pem.";
}

std::string unknown_pivot_signer_text(const Certificate& signer)
{
    return "Il certificato che l'ha firmata non è tra quelli attesi né tra quelli annunciati dalla lista pivot "
           "precedente (impronta SHA-256 " +
           sha256_fingerprint(signer) + ").";
}

bool is_address(const std::string& text)
{
    return text.rfind("http://", 0) == 0 || text.rfind("https://", 0) == 0;
}

} // namespace

std::string sha256_fingerprint(const Certificate& certificate)
{
    if (!certificate.is_valid())
        return {};
    const std::vector<uint8_t>& der = certificate.der();
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(der.data(), der.size(), digest);
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char byte : digest) {
        text += hex[byte >> 4];
        text += hex[byte & 0x0F];
    }
    return text;
}

std::string pivot_file_name(const std::string& address)
{
    const std::string path = address.substr(0, address.find_first_of("?#"));
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.size() <= 4 || name.size() > 128 || name.front() == '.')
        return {};
    const bool plain = std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
    });
    std::string suffix = name.substr(name.size() - 4);
    std::transform(suffix.begin(), suffix.end(), suffix.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    return plain && suffix == ".xml" ? name : std::string();
}

std::vector<std::string> pivot_addresses(const std::vector<std::string>& scheme_information_uris)
{
    std::vector<std::string> addresses;
    for (const std::string& uri : scheme_information_uris)
        if (is_address(uri) && !pivot_file_name(uri).empty())
            addresses.push_back(uri);
    // Listed the most recent first: the newest are the ones kept when there are too many.
    if (addresses.size() > Max_pivot_lists)
        addresses.resize(Max_pivot_lists);
    std::reverse(addresses.begin(), addresses.end());
    return addresses;
}

European_list_reading read_european_list(std::span<const uint8_t> bytes, const std::vector<Certificate>& pins,
                                         const Pivot_source& source)
{
    European_list_reading result;
    result.reading = read_trusted_list(bytes, pins);
    if (result.reading.verified) {
        result.anchor_thumbprint = result.reading.signer.thumbprint();
        return result;
    }
    // Only a sound list by an unknown signer is worth a walk: any other fault stays what it is.
    if (result.reading.failure != Tsl_text_not_pinned)
        return result;
    const Certificate signer = result.reading.signer;

    std::vector<Certificate> announced; // by the last pivot of the chain; empty: no chain
    std::string anchor;
    for (const std::string& address : pivot_addresses(read_scheme_information_uris(bytes))) {
        std::optional<std::vector<uint8_t>> pivot = source ? source(address) : std::nullopt;
        if (!pivot) {
            announced.clear();
            continue;
        }
        std::vector<Certificate> trusted = pins;
        trusted.insert(trusted.end(), announced.begin(), announced.end());
        Trusted_list_reading read = read_trusted_list(*pivot, trusted);
        if (read.verified && read.list.territory != "EU")
            read = {false, "La lista non è la lista europea delle liste di fiducia.", {}, read.signer};
        if (!read.verified) {
            result.warnings.push_back(
                "La lista pivot " + address + " non è stata usata: " +
                (read.failure == Tsl_text_not_pinned ? unknown_pivot_signer_text(read.signer) : read.failure));
            announced.clear();
            continue;
        }
        // Signed by a pin rather than by the chain so far: the chain starts again here.
        if (!holds(announced, read.signer))
            anchor = read.signer.thumbprint();
        Trace(Trace_kind, Level_info) << "Lista pivot verificata: " << address << " (numero "
                                      << read.list.sequence_number << ").";
        announced = announced_signers(read.list);
        result.pivots.push_back({address, std::move(*pivot)});
    }
    if (!announced.empty()) {
        Trusted_list_reading reached = read_trusted_list(bytes, announced);
        if (reached.verified) {
            result.reading = std::move(reached);
            result.anchor_thumbprint = anchor;
            return result;
        }
    }
    result.reading.failure = unknown_signer_text(signer);
    return result;
}

} // namespace velin
