// A DER SignedData envelope that arrives a slice at a time (decoded from base64 text as it is
// read): its document is hashed as it passes, with every digest algorithm the envelope declares
// in front of it, and only the bytes around the document are kept. The document is never held.
//
//     Signed_data_stream stream(text.size());
//     Base64_decode::decode_slices(text, form, [&](auto slice) { return stream.take(slice); });
//     if (auto result = stream.finish())
//         decode result->split.without_content; result->digests hold the document's digests.
#pragma once

#include "common/owner.h"
#include "envelope/der_walk.h"

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace velin {

class Signed_data_stream {
public:
    // No envelope in the stream is longer than size_bound bytes.
    explicit Signed_data_stream(size_t size_bound) : _bound(size_bound) {}

    // True until the first slice with bytes.
    bool empty() const { return _head.empty() && !_layout; }
    // Takes the next slice; false once the stream is known not to be such an envelope.
    bool take(std::span<const uint8_t> slice);

    struct Result {
        Der_signed_data_split split;
        // The document's digests, by OpenSSL digest type (EVP_MD_get_type).
        std::map<int, std::vector<uint8_t>> digests;
    };
    // After the last slice; nothing unless the stream held a whole envelope of that form.
    std::optional<Result> finish();

private:
    // The bytes from _position on, once the layout is known.
    void route(std::span<const uint8_t> bytes);

    size_t _bound;
    bool _failed = false;
    std::vector<uint8_t> _head; // up to the document, once the layout is known
    std::optional<Der_signed_data_head> _layout;
    size_t _position = 0; // bytes routed so far, counted from the envelope's start
    std::vector<uint8_t> _rest; // after the document, up to the envelope's end
    std::vector<std::pair<int, Owner<EVP_MD_CTX>>> _hashes;
};

} // namespace velin
