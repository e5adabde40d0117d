// Reader of TimeStampedData files (".tsd", RFC 5544): a document, optionally with its name and
// media type, and a chain of time stamps, each renewing the one before.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velin {

struct Timestamped_data {
    std::string data_uri;
    bool has_meta_data = false;
    bool hash_protected = false;
    std::string file_name;
    std::string media_type;
    // The DER of metaData: what a hash-protected first time stamp covers in front of the content.
    std::vector<uint8_t> meta_data_der;
    std::optional<std::vector<uint8_t>> content;

    struct Evidence {
        std::vector<uint8_t> token; // the TimeStampToken, as encoded
        std::vector<uint8_t> time_stamp_and_crl; // the DER of its TimeStampAndCRL, which the next one covers
    };
    std::vector<Evidence> chain;
};

// Reads a ContentInfo of type id-ct-timestampedData, in DER, BER or base64. Empty, with the reason
// in problem, when it is anything else, malformed, or holds no time stamp (an evidence record or
// other evidence is not read).
std::optional<Timestamped_data> read_timestamped_data(std::span<const uint8_t> bytes, std::string& problem);

} // namespace velin
