// Revocation checking of signer certificates: validity by day, then the CRLs named in the
// certificate's distribution points, from the cache, over HTTP(S) or from an LDAP directory.
// Only the signer's own certificate is checked; the authorities of its chain are not.
#pragma once

#include "VelinVerify/trust/certificate.h"

#include <atomic>
#include <optional>
#include <string>
#include <vector>

namespace velin {

enum class Revocation_status : int {
    Not_checked = 0,
    Valid = 1,
    Expired = 2,
    Not_yet_valid = 3,
    Revoked = 4,
    Update_disabled = 5,
    Not_determinable = 6,
};

// revocation_issuer: 0 until a list gave a result, 1 checked with the list's issuer known,
// 2 checked without it.
struct Revocation_outcome {
    Revocation_status status = Revocation_status::Not_checked;
    int revocation_issuer = 0;
};

// One signer as chain building left it: its certificate and the issuer found, if any.
struct Revocation_subject {
    Certificate certificate;
    std::optional<Certificate> issuer;
};

// The settings the check reads: AggiornaCRL (download lists, read LDAP directories).
struct Revocation_settings {
    bool download_allowed = true;
};

// The job of one analysis: one outcome per signer, in order. Runs on a worker thread; a set
// cancel flag interrupts downloads (the fetch then fails like any failed download).
std::vector<Revocation_outcome> check_revocations(const std::vector<Revocation_subject>& signers,
                                                  const Revocation_settings& settings,
                                                  const std::atomic<bool>& cancel);

// One signer whose certificate is within its validity period today.
Revocation_outcome check_revocation(const Revocation_subject& signer, const Revocation_settings& settings,
                                    const std::atomic<bool>& cancel);

// The certificate's distribution point URLs, in order (possibly none).
std::vector<std::string> crl_distribution_urls(const Certificate& certificate);

// The first of those starting with "http://" or "https://" (any case); empty when none.
std::string first_http_crl_url(const Certificate& certificate);

// <data folder>/cache/<escaped url>.crl
std::string cache_file_name(const std::string& url);

// Deletes every *.crl file of the cache folder (through the file system); false on failure.
bool clear_crl_cache();

} // namespace velin
