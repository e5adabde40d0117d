// Trust in the European list of trusted lists: from a certificate we pin, through the pivot lists.
//
// The Official Journal of the EU announces the certificates that sign the European list. When the
// Commission changes signers or the list's location, it publishes a pivot: a copy of the list then
// in force, whose pointer to the European list itself (territory EU) announces the certificates
// that sign the lists after it. A list names its pivots in its SchemeInformationURI, the most
// recent first, beside the notice of the Official Journal.
//
// A list signed by a pinned certificate is taken as it is. Otherwise the pivots are walked from
// the oldest: each must be signed by a pinned certificate (the chain starts there) or by one that
// the pivot before it announced; the list at hand must be signed by one that the last pivot
// announced. A pivot that cannot be had or does not verify breaks the chain there. What a list
// announces is used for the lists after it, never for itself: a list cannot vouch for its own
// signer. When nothing reaches the signer, the refusal gives its SHA-256 fingerprint, for the
// administrator to compare with the Official Journal.
#pragma once

#include "trust/certificate.h"
#include "trust/trusted_list_reader.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velin {

// More pivots than this in one list are not followed: the oldest are left out.
inline constexpr size_t Max_pivot_lists = 64;

struct Pivot_list {
    std::string address;
    std::vector<uint8_t> bytes;
};

// The bytes of the pivot at an address, or nothing (the source says why, in its own lines).
using Pivot_source = std::function<std::optional<std::vector<uint8_t>>(const std::string& address)>;

struct European_list_reading {
    // The list at hand: verified, or why not.
    Trusted_list_reading reading;
    // The pinned certificate the trust starts from (upper-case hexadecimal SHA-1): the signer
    // itself, or the signer of the first pivot of the chain.
    std::string anchor_thumbprint;
    // Every pivot that verified, oldest first: kept beside the list, they let it be verified again.
    std::vector<Pivot_list> pivots;
    // The pivots that could not be used, in Italian.
    std::vector<std::string> warnings;
};

// Verifies the European list against the pins, through its pivots when its signer is not pinned.
// Never throws on any input.
European_list_reading read_european_list(std::span<const uint8_t> bytes, const std::vector<Certificate>& pins,
                                         const Pivot_source& source);

// The pivots among the SchemeInformationURI values, oldest first: the http or https addresses of
// XML files with a plain name (pivot_file_name).
std::vector<std::string> pivot_addresses(const std::vector<std::string>& scheme_information_uris);

// The name a pivot is read under from a folder (beside a list imported from a file, or where the
// kept lists are): the last segment of its address, when it is letters, digits, ".", "-" and "_"
// only and ends in ".xml"; empty otherwise.
std::string pivot_file_name(const std::string& address);

// Lower-case hexadecimal SHA-256 of the certificate's DER, as the Official Journal prints it.
std::string sha256_fingerprint(const Certificate& certificate);

} // namespace velin
