// The authority information access of a certificate: where its issuer's OCSP responder answers
// and where the issuer's own certificate is published. A chain that lacks an intermediate
// authority gets it from there: fetched once, kept in the user's own cache, and only ever used
// as an intermediate, never as a root.
#pragma once

#include "trust/certificate.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace velin {

// The HTTP(S) addresses of one access method (NID_ad_OCSP, NID_ad_ca_issuers), in order.
std::vector<std::string> authority_access_urls(const Certificate& certificate, int method);

// A published issuer certificate is a few kilobytes; a PKCS#7 bundle a few of them.
constexpr std::size_t Ca_issuers_limit = 1024u * 1024u;

// The certificates of a caIssuers answer: one DER certificate or a PKCS#7 (certificates only,
// DER); empty for anything else.
std::vector<Certificate> parse_ca_issuers(const std::string& bytes);

// Authorities that may have issued certificate, from its caIssuers addresses: the user's cache
// first, then (when download_allowed) the address itself. Self-issued certificates and ones that
// are no authority are left out: what the network gives can only continue a chain towards a root
// the trusted lists hold. An address that answered is asked at most once per process, one that
// failed not again for ten minutes, and one analysis waits for another asking the same address.
std::vector<Certificate> fetch_ca_issuers(const Certificate& certificate, bool download_allowed,
                                          const std::atomic<bool>& cancel,
                                          std::chrono::milliseconds time_limit = std::chrono::seconds(15));

// Forgets what this process fetched (the cache files stay).
void forget_fetched_ca_issuers();

} // namespace velin
