// The trusted lists in use: the European list of trusted lists and the national lists it points
// to, each verified before it was kept. They are kept in the user's own data folder
// (trusted-lists/: the verified XML files and a parsed cache, so that starting the verifier does
// not read megabytes of XML), put there by the refresh (trusted_list_refresh.h).
//
// Pins: the European list must be signed by one of the certificates built into the program
// (eu_list_signers_pem) or listed in data/eu-lotl-signers.pem of the installation's data folder,
// or be reached from one of them through its pivot lists (european_list.h), kept in pivot/; a
// national list by one of the certificates the European list gives for its territory.
#pragma once

#include "trust/certificate.h"
#include "trust/trusted_list.h"

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace velin {

// The certificates built into the program that may sign the European list (PEM blocks).
extern const char* const eu_list_signers_pem;

// Every certificate of the PEM blocks of a text, in order.
std::vector<Certificate> pem_certificates(const std::string& text);
// The pins of the European list: the built-in certificates and those of
// data/eu-lotl-signers.pem in the data folder, when present.
std::vector<Certificate> eu_list_pins(const std::string& data_folder);

// One list as it is kept: the list and the thumbprint of the certificate that signed it; for the
// European list also that of the pinned certificate its trust starts from, the signer of the
// first pivot (empty: the signer itself).
struct Kept_list {
    Trusted_list list;
    std::string signer_thumbprint;
    std::string anchor_thumbprint = {};

    bool operator==(const Kept_list&) const = default;
};

class Trusted_lists {
public:
    // european: the European list; national: the lists reached from it.
    Trusted_lists(Kept_list european, std::vector<Kept_list> national);
    Trusted_lists(const Trusted_lists&) = delete;
    Trusted_lists& operator=(const Trusted_lists&) = delete;

    const Kept_list& european() const { return _european; }
    const std::vector<Kept_list>& national() const { return _national; }

    // The services of a certificate: those that list it, now or in their history; the CA/QC
    // services that list a certificate of the same name and public key; those that name its key
    // by identifier (and name) only.
    std::vector<const Trust_service*> services_of(const Certificate& certificate) const;
    // The CA/QC service of this certificate (services_of) that, at that time, was granted (or
    // accredited) and issued certificates for electronic signatures; null when there is none.
    const Trust_service* accredited_authority(const Certificate& certificate, std::time_t at) const;
    // The certificate is that of a CA/QC service (services_of), whatever its status: chains end
    // there.
    bool is_anchor(const Certificate& certificate) const;
    // The certificates of every CA/QC service.
    std::vector<Certificate> anchor_certificates() const;
    // The CA/QC certificates whose subject is the certificate's issuer name: where chain building
    // looks when the merged store has no issuer. Only these are decoded.
    std::vector<Certificate> issuer_candidates(const Certificate& subject) const;
    // The certificate is that of a qualified time-stamping service (TSA/QTST) granted at that
    // time, or was issued by one (its issuer name and signature match the service's certificate).
    bool is_trusted_time_stamping_authority(const Certificate& certificate, std::time_t at) const;

private:
    Kept_list _european;
    std::vector<Kept_list> _national;
    // Services by the thumbprint of each of their certificates.
    std::unordered_multimap<std::string, const Trust_service*> _by_thumbprint;
    std::vector<Certificate> _anchors;
    // CA/QC certificates, with their service, by the encoding of their subject name.
    std::unordered_multimap<std::string, std::pair<Certificate, const Trust_service*>> _by_subject;
    // Identities without a certificate, with their service, by key identifier.
    std::unordered_multimap<std::string, std::pair<const Trust_service*, const Service_identity*>> _by_key_identifier;
};

// Where the lists of this user are kept: $XDG_DATA_HOME/velin-manager/trusted-lists, else
// $HOME/.local/share/velin-manager/trusted-lists; empty when neither is set.
std::string trusted_list_folder();
std::string european_list_path(const std::string& folder);
std::string national_list_path(const std::string& folder, const std::string& territory);
// The folder of the pivot lists the European list was reached through (pivot_file_name names them).
std::string pivot_list_folder(const std::string& folder);
std::string trusted_list_cache_path(const std::string& folder);

// Reads a whole regular file (not through a symbolic link) of at most limit bytes; false with
// errno's value in error otherwise.
bool read_whole_file(const std::string& path, size_t limit, std::vector<uint8_t>& bytes, int& error);

// The parsed cache: the lists and who signed them. read gives nullopt for anything that is not a
// complete cache of this version.
std::vector<uint8_t> write_trusted_list_cache(const Kept_list& european, const std::vector<Kept_list>& national);
struct Cached_lists {
    Kept_list european;
    std::vector<Kept_list> national;
};
std::optional<Cached_lists> read_trusted_list_cache(std::span<const uint8_t> bytes);

// What loading said; each line also goes to the trace.
struct List_load_line {
    bool warning = false; // a warning, or an error (the list is not used)
    std::string text;
};

// Loads the kept lists of a folder: the cache when it is sound and its signers are still the
// pinned ones, otherwise the kept XML files, verified again (and the cache written anew). Null
// when there are no lists or the European list is not usable. A list past its next update is
// used, with a warning line.
std::shared_ptr<const Trusted_lists> load_trusted_lists(const std::string& folder,
                                                        const std::vector<Certificate>& eu_pins, std::time_t now,
                                                        std::vector<List_load_line>& lines);

// "La lista di fiducia IT non è aggiornata: doveva essere sostituita entro il ..." and friends.
std::string list_name(const Trusted_list& list);
std::string past_next_update_text(const Trusted_list& list);

} // namespace velin
