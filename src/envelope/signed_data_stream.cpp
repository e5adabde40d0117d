#include "envelope/signed_data_stream.h"

#include <openssl/objects.h>

#include <algorithm>

namespace velin {

namespace {

// The walk finds the document's header within the envelope's first bytes, or not at all.
constexpr size_t Head_limit = 64 * 1024;

} // namespace

bool Signed_data_stream::take(std::span<const uint8_t> slice)
{
    if (_failed)
        return false;
    if (_layout) {
        route(slice);
        return true;
    }
    _head.insert(_head.end(), slice.begin(), slice.end());
    _layout = read_der_signed_data_head(_head, std::max(_bound, _head.size()));
    if (!_layout) {
        _failed = _head.size() >= Head_limit;
        return !_failed;
    }
    for (const auto& encoded : _layout->digest_algorithms) {
        const unsigned char* in = encoded.data();
        const Owner<ASN1_OBJECT> object(d2i_ASN1_OBJECT(nullptr, &in, static_cast<long>(encoded.size())));
        const EVP_MD* algorithm = object ? EVP_get_digestbyobj(object.get()) : nullptr;
        if (!algorithm)
            continue;
        const int type = EVP_MD_get_type(algorithm);
        if (std::any_of(_hashes.begin(), _hashes.end(), [type](const auto& hash) { return hash.first == type; }))
            continue;
        Owner<EVP_MD_CTX> context(EVP_MD_CTX_new());
        if (context && EVP_DigestInit_ex(context.get(), algorithm, nullptr) == 1)
            _hashes.emplace_back(type, std::move(context));
    }
    // What came past the document's start is routed like any later slice.
    const std::vector<uint8_t> after(_head.begin() + static_cast<ptrdiff_t>(_layout->content_offset), _head.end());
    _head.resize(_layout->content_offset);
    _position = _layout->content_offset;
    route(after);
    return true;
}

void Signed_data_stream::route(std::span<const uint8_t> bytes)
{
    const size_t content_end = _layout->content_offset + _layout->content_size;
    if (_position < content_end && !bytes.empty()) {
        const size_t count = std::min(bytes.size(), content_end - _position);
        for (auto& hash : _hashes)
            EVP_DigestUpdate(hash.second.get(), bytes.data(), count);
        bytes = bytes.subspan(count);
        _position += count;
    }
    // The rest of the envelope is kept; bytes after its end are ignored, as the reader of whole
    // envelopes ignores them.
    if (_position < _layout->envelope_size && !bytes.empty()) {
        const size_t count = std::min(bytes.size(), _layout->envelope_size - _position);
        _rest.insert(_rest.end(), bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(count));
        _position += count;
        bytes = bytes.subspan(count);
    }
    _position += bytes.size();
}

std::optional<Signed_data_stream::Result> Signed_data_stream::finish()
{
    if (_failed || !_layout || _position < _layout->envelope_size)
        return std::nullopt;
    auto split = split_der_signed_data_around(_head, _layout->content_size, _rest);
    if (!split)
        return std::nullopt;
    Result result{std::move(*split), {}};
    for (auto& hash : _hashes) {
        std::vector<uint8_t> digest(EVP_MAX_MD_SIZE);
        unsigned int size = 0;
        if (EVP_DigestFinal_ex(hash.second.get(), digest.data(), &size) != 1)
            continue;
        digest.resize(size);
        result.digests.emplace(hash.first, std::move(digest));
    }
    return result;
}

} // namespace velin
