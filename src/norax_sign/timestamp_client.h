// Time stamps (RFC 3161) from the user's time-stamping authority: the request with a SHA-256
// imprint, a random nonce and the authority's certificate asked for, posted over HTTP(S) with
// basic authentication, and the reply checked before anyone uses it (status, nonce, imprint,
// policy, the token's signature and the authority's certificate, and whether that certificate's
// chain reaches the trusted lists).
#pragma once

#include "envelope/signer_certificate.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velin {

// The authority, from the user's settings (HKEY_CURRENT_USER\...\Impostazioni). The password
// never reaches a trace and is wiped with the object.
struct Timestamp_authority {
    std::string url; // "MarcaURL"
    std::string user; // "MarcaUtente"
    std::string password; // "MarcaPassword"
    std::string policy; // "MarcaPolicy": an OID in dotted form, empty for the authority's default

    Timestamp_authority() = default;
    Timestamp_authority(const Timestamp_authority&) = default;
    Timestamp_authority& operator=(const Timestamp_authority&) = default;
    ~Timestamp_authority();

    // The values of the user hive; a missing value is empty.
    static Timestamp_authority load();
};

struct Timestamp_limits {
    std::chrono::milliseconds connect{std::chrono::seconds(15)};
    std::chrono::milliseconds total{std::chrono::seconds(60)};
    // A reply is a few kilobytes even with the authority's whole chain in it.
    std::size_t reply_limit = 1024 * 1024;
};

struct Timestamp {
    std::vector<uint8_t> reply; // the TimeStampResp as the authority sent it
    std::vector<uint8_t> token; // its TimeStampToken (a DER ContentInfo)
    Signer_certificate authority; // the certificate that signed it
    std::time_t time = 0; // the time it states
};

// Whether a time stamp of this authority, made at this time, may be put in a user's document: empty
// when it may, otherwise the user's text.
using Timestamp_authority_judge = std::function<std::string(const Signer_certificate& authority, std::time_t at)>;

// The judgement of the verifier: the authority's chain reaches a root of the trusted lists the
// verifier uses (or a list grants it as a time-stamping service at that time).
Timestamp_authority_judge trusted_lists_judge();

class Timestamp_client {
public:
    explicit Timestamp_client(Timestamp_authority authority, Timestamp_limits limits = {},
                              Timestamp_authority_judge judge = trusted_lists_judge());

    bool configured() const { return !_authority.url.empty(); }
    // A checked time stamp over the bytes of the pieces, one after the other; nothing, with the
    // user's text in failure, when there is none.
    std::optional<Timestamp> stamp(const std::vector<std::span<const uint8_t>>& pieces, std::string& failure) const;
    // The same for bytes whose SHA-256 digest is given.
    std::optional<Timestamp> stamp_digest(std::span<const uint8_t> sha256, std::string& failure) const;

private:
    Timestamp_authority _authority;
    Timestamp_limits _limits;
    Timestamp_authority_judge _judge;
};

// The checks of a reply to a request with this SHA-256 imprint, nonce (big-endian magnitude) and
// policy (empty: any); the reply's bytes may be anything. Nothing, with the user's text in
// failure, when the reply is not a usable time stamp.
std::optional<Timestamp> checked_timestamp_reply(std::span<const uint8_t> reply, std::span<const uint8_t> imprint,
                                                 std::span<const uint8_t> nonce, const std::string& policy,
                                                 std::string& failure);

// The texts the user sees.
extern const char* const Text_tsa_not_configured;
extern const char* const Text_tsa_credentials;
extern const char* const Text_tsa_refused;
extern const char* const Text_tsa_timeout;
extern const char* const Text_tsa_unreachable;
extern const char* const Text_tsa_too_large;
extern const char* const Text_tsa_unreadable;
extern const char* const Text_tsa_wrong_nonce;
extern const char* const Text_tsa_wrong_imprint;
extern const char* const Text_tsa_wrong_policy;
extern const char* const Text_tsa_bad_signature;
extern const char* const Text_tsa_not_for_time_stamping;
extern const char* const Text_tsa_not_trusted;

} // namespace velin
