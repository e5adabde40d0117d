#include "envelope/pkcs7.h"

#include "common/large_buffer.h"
#include "common/openssl_error.h"
#include "common/trace.h"
#include "envelope/asn1_utctime.h"
#include "envelope/base64_decode.h"
#include "envelope/base64_message_bio.h"
#include "envelope/der_walk.h"
#include "envelope/mime_headers.h"
#include "envelope/signature_check.h"
#include "envelope/signed_data_stream.h"
#include "envelope/timestamp_token.h"
#include "envelope/vector_stream.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/x509.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string_view>

namespace velin {

namespace {

// The bytes before the first zero byte: the S/MIME and base64 attempts read the input as text.
std::string_view as_text(std::span<const uint8_t> bytes)
{
    const void* zero = std::memchr(bytes.data(), 0, bytes.size());
    const size_t length = zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - bytes.data()) : bytes.size();
    return {reinterpret_cast<const char*>(bytes.data()), length};
}

// Reads an S/MIME message from bio; the document of a clear-signed message (multipart/signed),
// which the message carries beside the signature, goes to content.
CMS_ContentInfo* read_smime(BIO* bio, std::vector<uint8_t>& content)
{
    BIO* raw = nullptr;
    // Binary: the part's bytes as they are; the canonical form is tried too when checking.
    CMS_ContentInfo* cms = SMIME_read_CMS_ex(bio, SMIME_BINARY, &raw, nullptr);
    const Owner<BIO> carried(raw);
    content.clear();
    if (cms && carried) {
        uint8_t block[16384];
        for (int read; (read = BIO_read(carried.get(), block, sizeof block)) > 0;)
            content.insert(content.end(), block, block + read);
    }
    return cms;
}

// The header block of an S/MIME message in the form that the OpenSSL reader and the project's
// MIME header reader both take line for line: at most a few dozen lines, each ended by LF or
// CR LF, none longer than a mail header line may be, none continuing the one before (a leading
// blank), no CR or zero byte elsewhere, then an empty line. Returns where the body starts, 0 when
// the block is not of that form.
size_t plain_mail_header_end(std::string_view text)
{
    constexpr size_t line_limit = 998;
    constexpr size_t most_lines = 32;
    size_t at = 0;
    for (size_t lines = 0; lines <= most_lines; ++lines) {
        const size_t window = std::min(text.size() - at, line_limit + 2);
        const void* found = std::memchr(text.data() + at, '\n', window);
        if (!found)
            return 0;
        const size_t line_feed = static_cast<size_t>(static_cast<const char*>(found) - text.data());
        size_t end = line_feed;
        if (end > at && text[end - 1] == '\r')
            --end;
        const std::string_view line = text.substr(at, end - at);
        if (line.empty())
            return lines == 0 ? 0 : line_feed + 1;
        // A line that starts with any blank (form feed and vertical tab too) continues the one
        // before for the OpenSSL reader.
        const auto first = static_cast<unsigned char>(line.front());
        // A zero byte ends the text for the readers of whole text, which would not see the body.
        if (line.size() > line_limit || first <= 0x20 || first >= 0x7f || line.find('\r') != std::string_view::npos ||
            line.find('\0') != std::string_view::npos)
            return 0;
        at = line_feed + 1;
    }
    return 0;
}

} // namespace

// Where the base64 body of an S/MIME message starts, when the OpenSSL reader would read it to the
// same envelope as the walk: a plain header block (see plain_mail_header_end) whose content type
// is application/pkcs7-mime (or its x- form). 0 for anything else.
size_t smime_body_start(std::string_view text)
{
    const size_t body = plain_mail_header_end(text);
    if (body == 0)
        return 0;
    Mime_headers headers;
    try {
        Vector_stream<byte> stream(std::span<const byte>(reinterpret_cast<const byte*>(text.data()), body));
        headers.read(stream);
    } catch (const std::runtime_error&) {
        return 0;
    }
    const Mime_header* type = headers.find("content-type");
    if (!type)
        return 0;
    const std::string type_name = mime_lower_case(type->value);
    return type_name == "application/pkcs7-mime" || type_name == "application/x-pkcs7-mime" ? body : 0;
}

// The body of a PEM-armoured envelope: a BEGIN line naming PKCS7 or CMS, lines of base64, the
// END line naming the same, and nothing after it but blanks and line ends. Empty for anything
// else, which the OpenSSL reader then reads as it does.
std::optional<std::pair<size_t, size_t>> pem_body(std::string_view text)
{
    for (const std::string_view label : {"PKCS7", "CMS"}) {
        const std::string begin = "-----BEGIN " + std::string(label) + "-----";
        const std::string end = "-----END " + std::string(label) + "-----";
        if (!text.starts_with(begin))
            continue;
        size_t body = begin.size();
        if (body < text.size() && text[body] == '\r')
            ++body;
        if (body >= text.size() || text[body] != '\n')
            return std::nullopt;
        ++body;
        const size_t last = text.find_last_not_of(" \t\r\n");
        if (last == std::string_view::npos || last + 1 < body + end.size())
            return std::nullopt;
        const size_t end_line = last + 1 - end.size();
        if (text.substr(end_line, end.size()) != end || text[end_line - 1] != '\n')
            return std::nullopt;
        return std::make_pair(body, end_line - body);
    }
    return std::nullopt;
}

void Pkcs7::reset()
{
    _cms.reset();
    _encoding = Encoding::None;
    _last_error.clear();
    _reduced.clear();
    _reduced.shrink_to_fit();
    _long_term_source.clear();
    _long_term_source.shrink_to_fit();
    _content_digests.clear();
    _signer_split.reset();
    _facts.clear();
    _facts.shrink_to_fit();
    _checked_integrity.clear();
    _checked_integrity.shrink_to_fit();
    _checked_while_decoding = false;
    _facts_ready = false;
    _signatures_read = false;
    _selected = false;
    _current = 0;
    _content.clear();
    _content.shrink_to_fit();
    _integrity.clear();
    _certificate = {};
    _signing_time.reset();
    _walked = false;
    _input.clear();
    _input.shrink_to_fit();
    _content_offset = 0;
    _content_size = 0;
    _clear_signed_content.clear();
    _clear_signed = false;
    _walked_document = {};
    _shared_content = {};
    _streamed_digests.clear();
}

void Pkcs7::parse(std::span<const uint8_t> bytes)
{
    parse_bytes(bytes, nullptr);
}

void Pkcs7::parse_taking(std::vector<uint8_t>& bytes)
{
    parse_bytes(bytes, &bytes);
}

void Pkcs7::parse_taking(std::span<const uint8_t> prefix, std::vector<uint8_t>& bytes)
{
    if (prefix.empty()) {
        parse_bytes(bytes, &bytes);
        return;
    }
    reset();
    ERR_clear_error();
    if (_der_reading == Der_reading::Walk) {
        auto split = split_der_signed_data(prefix, bytes);
        bool decoded =
            split && split->content_offset == prefix.size() && decode_reduced(std::move(split->without_content));
        if (decoded) {
            Document_digests digests(std::span<const uint8_t>(bytes).first(split->content_size), _cancel);
            decoded = check_walked_signers(digests);
        }
        if (decoded) {
            _input = std::move(bytes);
            bytes.clear();
            _content_offset = 0;
            _content_size = split->content_size;
            _walked = true;
            _encoding = Encoding::Der;
            // The binary attempt decoded it, as in parse.
            {
                Trace_block block("Tenta la decodifica binaria");
            }
            ERR_clear_error();
            return;
        }
    }
    // Anything else is decoded from the whole input in one piece, as it would have been read.
    std::vector<uint8_t> whole;
    reserve_large_buffer(whole, prefix.size() + bytes.size());
    whole.assign(prefix.begin(), prefix.end());
    whole.insert(whole.end(), bytes.begin(), bytes.end());
    bytes = std::move(whole);
    parse_bytes(bytes, &bytes);
}

void Pkcs7::parse_shared(const Document_bytes& bytes)
{
    if (_der_reading == Der_reading::Walk && !bytes.empty() && bytes[0] == 0x30) {
        reset();
        ERR_clear_error();
        Trace_block block("Tenta la decodifica binaria");
        // The document where the file holds it: one range of a DER envelope, or the pieces of a
        // BER one, joined as they are read.
        std::optional<Document_bytes> document;
        if (auto split = split_der_signed_data(bytes.view());
            split && decode_reduced(std::move(split->without_content)))
            document = bytes.range(split->content_offset, split->content_size);
        else if (auto ber = split_ber_signed_data(bytes.view()); ber && decode_reduced(std::move(ber->without_content)))
            document = ber->in_pieces ? Document_bytes::in_pieces(bytes.range(ber->pieces_offset, ber->pieces_size),
                                                                  ber->content_size)
                                      : bytes.range(ber->content_offset, ber->content_size);
        if (document) {
            Document_digests digests(*document, {}, _cancel);
            if (check_walked_signers(digests)) {
                _walked_document = *document;
                _content_size = document->size();
                _walked = true;
                _encoding = Encoding::Der;
                ERR_clear_error();
                return;
            }
        }
    } else if (_der_reading == Der_reading::Walk && !bytes.empty()) {
        bool refused = false;
        if (decode_streamed(bytes, refused))
            return;
        if (refused) {
            // Plain base64 whose first bytes are no envelope: no reader could make one of the rest,
            // so a huge text is not decoded whole to find that out.
            reset();
            _last_error = "Il testo base64 non contiene una busta PKCS#7.";
            Trace(Trace_kind, Level_error) << _last_error;
            return;
        }
    }
    parse(bytes.view());
}

bool Pkcs7::decode_streamed(const Document_bytes& bytes, bool& refused)
{
    reset();
    ERR_clear_error();
    {
        Trace_block block("Tenta la decodifica binaria");
        Trace(Trace_kind, Level_trace) << "Il PKCS#7 non è in formato binario.";
    }
    // The whole text, not cut at a zero byte: that would read all of a huge file first; the
    // decoding stops at the first byte that is not base64 anyway.
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    {
        Trace_block block("Tenta la decodifica MIME");
        if (const size_t body = smime_body_start(text))
            return decode_streamed_text(bytes.range(body, text.size() - body), Base64_decode::Form::Mail_lines,
                                        Encoding::Smime, refused);
    }
    Trace_block block("Tenta la decodifica base64");
    Trace(Trace_kind, Level_trace) << "Per la decodifica Base64 usiamo comunque il parser MIME.";
    if (const auto body = pem_body(text))
        return decode_streamed_text(bytes.range(body->first, body->second), Base64_decode::Form::Mail_lines,
                                    Encoding::Base64, refused);
    return decode_streamed_text(bytes.range(0, text.size()), Base64_decode::Form::Plain, Encoding::Base64, refused);
}

bool Pkcs7::decode_streamed_text(const Document_bytes& text, Base64_decode::Form form, Encoding encoding, bool& refused)
{
    const auto view = text.view();
    Signed_data_stream stream(view.size());
    const auto decoded =
        Base64_decode::decode_slices(std::string_view(reinterpret_cast<const char*>(view.data()), view.size()), form,
                                     [&stream, &refused](std::span<const uint8_t> slice) {
                                         refused = refused || (stream.empty() && !slice.empty() && slice[0] != 0x30);
                                         return !refused && stream.take(slice);
                                     });
    auto result = decoded ? stream.finish() : std::nullopt;
    return result && adopt_streamed(text, form, std::move(*result), encoding);
}

bool Pkcs7::adopt_streamed(const Document_bytes& text, Base64_decode::Form form, Signed_data_stream::Result result,
                           Encoding encoding)
{
    reset();
    if (!decode_reduced(std::move(result.split.without_content)))
        return false;
    const Document_bytes document =
        Document_bytes::encoded(text, form, result.split.content_offset, result.split.content_size);
    Document_digests digests(document, result.digests, _cancel);
    if (!check_walked_signers(digests))
        return false;
    _walked_document = document;
    _streamed_digests = std::move(result.digests);
    _content_size = result.split.content_size;
    _walked = true;
    _encoding = encoding;
    ERR_clear_error();
    return true;
}

// The reduced envelope is read by OpenSSL; the document stays where it is (owner given) or is
// copied once. Any failure leaves nothing behind, and the full reader then decides.
void Pkcs7::decode_walked(std::span<const uint8_t> bytes, std::vector<uint8_t>* owner)
{
    auto split = split_der_signed_data(bytes);
    if (!split || !decode_reduced(std::move(split->without_content)))
        return;
    Document_digests digests(bytes.subspan(split->content_offset, split->content_size), _cancel);
    if (!check_walked_signers(digests))
        return;
    if (owner) {
        _input = std::move(*owner);
        owner->clear();
        _content_offset = split->content_offset;
    } else {
        const auto content = bytes.subspan(split->content_offset, split->content_size);
        _input.assign(content.begin(), content.end());
        _content_offset = 0;
    }
    _content_size = split->content_size;
    _walked = true;
    _encoding = Encoding::Der;
}

// Plain base64 text is decoded here and its DER walked; the decoded buffer becomes the document.
// Text in any other form (blanks, stray characters, a "-----" line) is left to the OpenSSL reader
// and its own rules.
void Pkcs7::decode_walked_base64(std::string_view text)
{
    decode_walked_text(text, Base64_decode::Form::Plain, Encoding::Base64);
}

// The base64 text decoded in the given form, and the DER walked; on success the envelope is
// marked with the encoding it came in.
void Pkcs7::decode_walked_text(std::string_view base64, Base64_decode::Form form, Encoding encoding)
{
    Base64_decode decoder;
    if (!decoder.decode(base64, form))
        return;
    std::vector<uint8_t> der = decoder.take_value();
    if (der.empty() || der[0] != 0x30)
        return;
    decode_walked(der, &der);
    if (_cms)
        _encoding = encoding;
}

// An S/MIME message the OpenSSL reader would read to the same envelope is read here: a plain
// header block whose content type is application/pkcs7-mime (or its x- form), then a body of mail
// lines of plain base64. The reader decodes the body whatever transfer encoding the headers name,
// and so does this. Anything else, and any envelope the walk does not take, is left to it.
void Pkcs7::decode_walked_smime(std::string_view text)
{
    if (const size_t body = smime_body_start(text))
        decode_walked_text(text.substr(body), Base64_decode::Form::Mail_lines, Encoding::Smime);
}

void Pkcs7::parse_bytes(std::span<const uint8_t> bytes, std::vector<uint8_t>* owner)
{
    reset();
    if (bytes.empty())
        return;
    ERR_clear_error();

    {
        Trace_block block("Tenta la decodifica binaria");
        if (bytes[0] != 0x30) {
            Trace(Trace_kind, Level_trace) << "Il PKCS#7 non è in formato binario.";
        } else {
            if (_der_reading == Der_reading::Walk)
                decode_walked(bytes, owner);
            if (!_cms) {
                const unsigned char* in = bytes.data();
                const long length = static_cast<long>(std::min<size_t>(bytes.size(), LONG_MAX));
                _cms.reset(d2i_CMS_ContentInfo(nullptr, &in, length));
                if (_cms)
                    _encoding = Encoding::Der;
                else
                    _last_error = openssl_error_text();
            }
        }
    }

    // After a walk that took the buffer, bytes must not be read again.
    const std::string_view text = _cms ? std::string_view{} : as_text(bytes);
    if (!_cms) {
        Trace_block block("Tenta la decodifica MIME");
        if (_der_reading == Der_reading::Walk)
            decode_walked_smime(text);
        // Without a colon there is no header, so the OpenSSL reader could only refuse the text,
        // after reading all of it line by line.
        if (!_cms && std::memchr(text.data(), ':', text.size()) != nullptr) {
            const int length = static_cast<int>(std::min<size_t>(text.size(), INT_MAX));
            Owner<BIO> input(BIO_new_mem_buf(text.data(), length));
            if (!input) {
                Trace(Trace_kind, Level_trace) << "L'input non è un PKCS7 MIME.";
            } else {
                _cms.reset(read_smime(input.get(), _clear_signed_content));
                if (_cms)
                    _encoding = Encoding::Smime;
                else
                    _last_error = openssl_error_text();
            }
        }
    }

    if (!_cms) {
        Trace_block block("Tenta la decodifica base64");
        Trace(Trace_kind, Level_trace) << "Per la decodifica Base64 usiamo comunque il parser MIME.";
        if (_der_reading == Der_reading::Walk)
            decode_walked_base64(text);
        if (!_cms) {
            const Base64_message_bio input(text);
            if (input.get()) {
                _cms.reset(read_smime(input.get(), _clear_signed_content));
                if (_cms)
                    _encoding = Encoding::Base64;
                else
                    _last_error = openssl_error_text();
            } else {
                _last_error = openssl_error_text();
            }
        }
    }

    // A walked envelope's signers were paired as they were checked.
    if (_cms && !_walked && is_signed_type())
        pair_signers_with_certificates(_cms.get());
    ERR_clear_error();
}

bool Pkcs7::is_signed_type() const
{
    assertion(parsed(), "parsed ()");
    return OBJ_obj2nid(CMS_get0_type(_cms.get())) == NID_pkcs7_signed;
}

void Pkcs7::read_signatures()
{
    assertion(parsed(), "parsed ()");
    assertion(!signatures_read(), "not signatures_read ()");
    Trace_block block("Decodifica firme.");
    if (!is_signed_type()) {
        // Another content type (enveloped data, for example) is bad input, not a programming error.
        _last_error = "Il PKCS#7 non contiene dati firmati.";
        Trace(Trace_kind, Level_error) << _last_error;
        return;
    }
    ERR_clear_error();
    if (!_facts_ready) {
        STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(_cms.get());
        if (!signers) {
            _last_error = openssl_error_text();
            return;
        }
        Certificate_records certificates;
        const Owner<STACK_OF(X509)> carried(CMS_get1_certs(_cms.get()));
        _facts.reserve(static_cast<size_t>(std::max(0, sk_CMS_SignerInfo_num(signers))));
        for (int i = 0; i < sk_CMS_SignerInfo_num(signers); ++i)
            _facts.push_back(facts_of(sk_CMS_SignerInfo_value(signers, i), certificates, carried.get()));
        _facts_ready = true;
    }
    read_long_term_data();
    _signatures_read = true;
}

size_t Pkcs7::signatures_count() const
{
    assertion(signatures_read(), "signatures_read ()");
    return _facts.size();
}

void Pkcs7::select_signature(size_t index)
{
    assertion(index < signatures_count(), "index < signatures_count ()");
    _current = index;
    _selected = true;
}

void Pkcs7::read_signer_certificate()
{
    assertion(_selected, "_signature_info != NULL");
    _certificate = _facts[_current].certificate;
}

const Signer_certificate& Pkcs7::signer_certificate() const
{
    assertion(certificate_read(), "certificate_read ()");
    return _certificate;
}

void Pkcs7::read_signing_time()
{
    assertion(_selected, "_signature_info != NULL");
    _signing_time = _facts[_current].signing_time;
}

namespace {

std::string subject_common_name(X509* certificate)
{
    X509_NAME* subject = X509_get_subject_name(certificate);
    const int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    const X509_NAME_ENTRY* entry = index >= 0 ? X509_NAME_get_entry(subject, index) : nullptr;
    unsigned char* utf8 = nullptr;
    const int length = entry ? ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry)) : -1;
    const Owner<unsigned char, Openssl_free> owned(utf8);
    return length >= 0 ? std::string(reinterpret_cast<const char*>(utf8), static_cast<size_t>(length)) : std::string();
}

// A countersignature (a SignerInfo identified by issuer and serial number) over value, with its
// certificate among the envelope's.
Countersignature_info check_countersignature(std::span<const uint8_t> encoded, std::span<const uint8_t> value,
                                             STACK_OF(X509) * certificates)
{
    Countersignature_info info;
    const unsigned char* in = encoded.data();
    const Owner<PKCS7_SIGNER_INFO> signer(d2i_PKCS7_SIGNER_INFO(nullptr, &in, static_cast<long>(encoded.size())));
    ERR_clear_error();
    if (!signer || !signer->issuer_and_serial || !signer->digest_alg || !signer->enc_digest)
        return info;
    X509* certificate = nullptr;
    for (int i = 0; i < sk_X509_num(certificates); ++i) {
        X509* candidate = sk_X509_value(certificates, i);
        if (X509_NAME_cmp(X509_get_issuer_name(candidate), signer->issuer_and_serial->issuer) == 0 &&
            ASN1_INTEGER_cmp(X509_get0_serialNumber(candidate), signer->issuer_and_serial->serial) == 0) {
            certificate = candidate;
            break;
        }
    }
    const EVP_MD* algorithm = EVP_get_digestbyobj(signer->digest_alg->algorithm);
    if (!certificate || !algorithm)
        return info;
    info.read = true;
    info.certificate = Signer_certificate::from_x509(certificate);
    info.signer = subject_common_name(certificate);
    info.digest_nid = EVP_MD_get_type(algorithm);

    std::vector<uint8_t> digest(EVP_MAX_MD_SIZE);
    unsigned int size = 0;
    if (EVP_Digest(value.data(), value.size(), digest.data(), &size, algorithm, nullptr) != 1)
        return info;
    digest.resize(size);

    // With signed attributes the key signs them, and they carry the digest of the signature value;
    // without, the key signs the signature value itself.
    std::vector<uint8_t> signed_bytes(value.begin(), value.end());
    if (signer->auth_attr && sk_X509_ATTRIBUTE_num(signer->auth_attr) > 0) {
        const ASN1_OCTET_STRING* stated = PKCS7_digest_from_attributes(signer->auth_attr);
        if (!stated || static_cast<size_t>(ASN1_STRING_length(stated)) != digest.size() ||
            std::memcmp(ASN1_STRING_get0_data(stated), digest.data(), digest.size()) != 0)
            return info;
        unsigned char* raw = nullptr;
        const int length =
            ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(signer->auth_attr), &raw, ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
        const Owner<unsigned char, Openssl_free> attributes(raw);
        if (length <= 0)
            return info;
        signed_bytes.assign(raw, raw + length);
    }
    const Owner<EVP_MD_CTX> context(EVP_MD_CTX_new());
    info.matches =
        context &&
        EVP_DigestVerifyInit(context.get(), nullptr, algorithm, nullptr, X509_get0_pubkey(certificate)) == 1 &&
        EVP_DigestVerify(context.get(), ASN1_STRING_get0_data(signer->enc_digest),
                         static_cast<size_t>(ASN1_STRING_length(signer->enc_digest)), signed_bytes.data(),
                         signed_bytes.size()) == 1;
    ERR_clear_error();
    return info;
}

// The countersignatures of a signer whose signature value is value, in an envelope whose
// certificates cms carries.
std::vector<Countersignature_info> countersignatures_of(CMS_SignerInfo* signer, std::span<const uint8_t> value,
                                                        CMS_ContentInfo* cms)
{
    std::vector<Countersignature_info> found;
    const Owner<STACK_OF(X509)> certificates(CMS_get1_certs(cms));
    for (int at = CMS_unsigned_get_attr_by_NID(signer, NID_pkcs9_countersignature, -1); at >= 0;
         at = CMS_unsigned_get_attr_by_NID(signer, NID_pkcs9_countersignature, at)) {
        X509_ATTRIBUTE* attribute = CMS_unsigned_get_attr(signer, at);
        for (int n = 0; attribute && n < X509_ATTRIBUTE_count(attribute); ++n) {
            const ASN1_TYPE* encoded = X509_ATTRIBUTE_get0_type(attribute, n);
            if (!encoded || encoded->type != V_ASN1_SEQUENCE || !encoded->value.sequence) {
                found.emplace_back();
                continue;
            }
            const ASN1_STRING* sequence = encoded->value.sequence;
            found.push_back(check_countersignature(
                {ASN1_STRING_get0_data(sequence), static_cast<size_t>(std::max(0, ASN1_STRING_length(sequence)))},
                value, certificates.get()));
        }
    }
    return found;
}

} // namespace

Validation_data Pkcs7::validation_data() const
{
    Validation_data data;
    for (const Signer_facts& facts : _facts)
        data.add(facts.carried);
    return data;
}

std::vector<Countersignature_info> Pkcs7::countersignatures() const
{
    return _selected ? _facts[_current].countersignatures : std::vector<Countersignature_info>{};
}

bool Pkcs7::detached() const
{
    assertion(parsed(), "parsed ()");
    if (_walked || _clear_signed || !is_signed_type())
        return false;
    ASN1_OCTET_STRING** carried = CMS_get0_content(_cms.get());
    return !carried || !*carried;
}

void Pkcs7::verify_detached(Document_bytes document)
{
    assertion(detached(), "detached ()");
    check_signatures(document);
    _shared_content = std::move(document);
}

std::vector<std::vector<uint8_t>> Pkcs7::signer_timestamp_tokens(Timestamp_scope scope) const
{
    if (!_selected || scope == Timestamp_scope::Document)
        return {};
    const Signer_facts& facts = _facts[_current];
    return scope == Timestamp_scope::Signature ? facts.signature_tokens : facts.content_tokens;
}

std::vector<uint8_t> Pkcs7::signature_value() const
{
    return _selected ? _facts[_current].signature_value : std::vector<uint8_t>{};
}

int Pkcs7::digest_algorithm() const
{
    return _selected ? _facts[_current].digest_nid : 0;
}

Assignable<Signature_integrity> Pkcs7::signature_integrity() const
{
    assertion(_selected, "_signature_info != NULL");
    // Both lists follow the envelope's signer SET, so the current index names the same signer.
    if (_current >= _integrity.size())
        return {};
    // A value that matches proves only the key: another certificate holding the same key, put in
    // the signer's place, would pass as well, were it not for the certificate the signer signed.
    if (signing_certificate_mismatch() && _integrity[_current].is_assigned() &&
        _integrity[_current].value() == Signature_integrity::Intact) {
        Assignable<Signature_integrity> integrity;
        integrity.assign(Signature_integrity::Not_intact);
        return integrity;
    }
    return _integrity[_current];
}

bool Pkcs7::signing_certificate_mismatch() const
{
    return _selected && _current < _facts.size() && _facts[_current].certificate_mismatch;
}

std::span<const uint8_t> Pkcs7::content() const
{
    return _shared_content.empty() ? std::span<const uint8_t>(_content) : _shared_content.view();
}

Document_bytes Pkcs7::release_content()
{
    if (!_shared_content.empty())
        return std::exchange(_shared_content, {});
    return Document_bytes(std::exchange(_content, {}));
}

void Pkcs7::extract_original_document()
{
    assertion(parsed(), "parsed ()");
    Trace_block reading("Lettura del documento originale");
    Trace_block extracting("Estrazione del documento originale");
    // A repeated extraction after a walk works again on the document already trimmed.
    if (_walked && _input.empty() && _content.size() == _content_size)
        _input = std::move(_content);
    if (_clear_signed && !_content.empty())
        _clear_signed_content = std::move(_content);
    _content.clear();
    _shared_content = {};
    _integrity.clear();
    Trace(Trace_kind, Level_trace) << "Caricamento CAPICOM";
    ERR_clear_error();

    if (!is_signed_type()) {
        Trace(Trace_kind, Level_error) << "Il PKCS#7 non contiene dati firmati.";
        return;
    }
    // The signers of a walked envelope with a great many of them were checked as they were decoded.
    if (_walked && !_walked_document.empty()) {
        if (_checked_while_decoding) {
            _integrity = _checked_integrity;
        } else {
            // The document is checked where it lies (or from the digests its streaming made).
            Document_digests digests(_walked_document, _streamed_digests, _cancel);
            check_signatures(digests);
        }
        _shared_content = _walked_document;
        return;
    }
    if (_walked) {
        // The buffer is trimmed to the document in place (no second copy of it), then checked.
        assertion(_content_offset + _content_size <= _input.size(), "not release_content () before");
        _input.resize(_content_offset + _content_size);
        _input.erase(_input.begin(), _input.begin() + static_cast<ptrdiff_t>(_content_offset));
        _content_offset = 0;
        if (_checked_while_decoding)
            _integrity = _checked_integrity;
        else
            check_signatures(_input);
        _content = std::move(_input);
        _input.clear();
        return;
    }
    const int signer_count = std::max(0, sk_CMS_SignerInfo_num(CMS_get0_SignerInfos(_cms.get())));
    ASN1_OCTET_STRING** carried = CMS_get0_content(_cms.get());
    if ((!carried || !*carried) && !_clear_signed_content.empty()) {
        // A clear-signed message: the document is the message's first part.
        std::vector<uint8_t> document = std::move(_clear_signed_content);
        _clear_signed_content.clear();
        check_signatures(document);
        // Mail signers sign the canonical form (lines ended by CR LF); a message saved with bare
        // line feeds matches in that form.
        const auto all_intact = [this] {
            return std::all_of(_integrity.begin(), _integrity.end(), [](const auto& integrity) {
                return integrity.is_assigned() && integrity.value() == Signature_integrity::Intact;
            });
        };
        if (!all_intact()) {
            std::vector<uint8_t> canonical;
            canonical.reserve(document.size() + document.size() / 32);
            for (size_t i = 0; i < document.size(); ++i) {
                if (document[i] == '\n' && (i == 0 || document[i - 1] != '\r'))
                    canonical.push_back('\r');
                canonical.push_back(document[i]);
            }
            const auto raw_integrity = _integrity;
            check_signatures(canonical);
            if (all_intact())
                document = std::move(canonical);
            else
                _integrity = raw_integrity;
        }
        _content = std::move(document);
        _clear_signed = true;
        return;
    }
    if (!carried || !*carried) {
        // A detached signature: the document is not in the envelope, so nothing can be checked.
        Trace(Trace_kind, Level_error) << "La busta non contiene il documento originale (firma separata).";
        _integrity.assign(static_cast<size_t>(signer_count), {});
        for (auto& integrity : _integrity)
            integrity.set_failed("Il documento originale non è contenuto nella busta.");
        return;
    }

    // The document is in memory inside the parsed envelope: one copy out, and its digests are
    // taken from there.
    const std::span<const uint8_t> carried_bytes(ASN1_STRING_get0_data(*carried),
                                                 static_cast<size_t>(std::max(0, ASN1_STRING_length(*carried))));
    std::vector<uint8_t> content(carried_bytes.begin(), carried_bytes.end());
    check_signatures(content);
    _content = std::move(content);
}

void Pkcs7::check_signatures(std::span<const uint8_t> document)
{
    Document_digests digests(document, _cancel);
    check_signatures(digests);
}

void Pkcs7::check_signatures(Document_digests& digests)
{
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(_cms.get());
    const int count = std::max(0, sk_CMS_SignerInfo_num(signers));
    _integrity.assign(static_cast<size_t>(count), {});
    Signature_memo memo;
    for (int i = 0; i < count; ++i)
        _integrity[static_cast<size_t>(i)] =
            check_signer_at(static_cast<size_t>(i), sk_CMS_SignerInfo_value(signers, i), digests, memo);
    keep_content_digests(digests);
}

void Pkcs7::keep_content_digests(const Document_digests& digests)
{
    for (auto& [type, digest] : digests.known())
        _content_digests[type] = std::move(digest);
}

Assignable<Signature_integrity> Pkcs7::check_signer_at(size_t index, CMS_SignerInfo* signer, Document_digests& digests,
                                                       Signature_memo& memo, std::span<const uint8_t> encoded) const
{
    Assignable<Signature_integrity> integrity;
    if (_cancel && *_cancel) {
        integrity.set_failed("Verifica annullata.");
        return integrity;
    }
    // Past the first signers of an envelope only what does not match is traced, and named by its
    // number: a hostile envelope's great many signers would fill the trace.
    constexpr size_t Traced_signers = 64;
    const std::string name = "Verifica della firma " + std::to_string(index + 1);
    std::optional<Trace_block> block;
    if (index < Traced_signers)
        block.emplace(name);
    const std::string prefix = block ? std::string() : name + ": ";
    ERR_clear_error();
    std::string reason;
    const Signer_check outcome =
        check_signer(signer, CMS_get0_eContentType(_cms.get()), digests, reason, &memo, encoded);
    if (outcome == Signer_check::Matches) {
        integrity.assign(Signature_integrity::Intact);
        if (block)
            Trace(Trace_kind, Level_info) << "La firma corrisponde al documento.";
    } else if (outcome == Signer_check::Does_not_match) {
        integrity.assign(Signature_integrity::Not_intact);
        Trace(Trace_kind, Level_error) << prefix << signature_mismatch_text;
    } else {
        integrity.set_failed(reason.empty() ? openssl_error_text() : reason);
        Trace(Trace_kind, Level_error) << prefix << "La firma non può essere verificata.\n" << integrity.message();
    }
    ERR_clear_error();
    return integrity;
}

bool Pkcs7::decode_reduced(std::vector<uint8_t> reduced)
{
    _cms.reset();
    // A few signers are read with the rest, and checked when the document is extracted.
    constexpr size_t Few_signers = 64;
    // An envelope with long-term data keeps its encoding for the archive time stamps; a quick look
    // spares every other one the copy.
    if (mentions_long_term_attributes(reduced))
        _long_term_source = reduced;
    _signer_split = split_der_signers(reduced);
    if (_signer_split && _signer_split->signers.size() <= Few_signers)
        _signer_split.reset();
    const std::vector<uint8_t>& decoded = _signer_split ? _signer_split->without_signers : reduced;
    const unsigned char* in = decoded.data();
    _cms.reset(d2i_CMS_ContentInfo(nullptr, &in, static_cast<long>(decoded.size())));
    ERR_clear_error();
    if (!_cms || OBJ_obj2nid(CMS_get0_type(_cms.get())) != NID_pkcs7_signed) {
        _cms.reset();
        _signer_split.reset();
        _long_term_source.clear();
        return false;
    }
    if (_signer_split)
        _reduced = std::move(reduced);
    return true;
}

bool Pkcs7::check_walked_signers(Document_digests& digests)
{
    assertion(parsed(), "parsed ()");
    if (!_signer_split) {
        // Read whole by OpenSSL: checked when the document is extracted.
        pair_signers_with_certificates(_cms.get());
        return true;
    }

    // A few signers at a time, each decoded once: a hostile envelope may hold a great many, and
    // OpenSSL's decoding of one takes some kilobytes.
    constexpr size_t Most_signers = 256;
    constexpr size_t Most_bytes = 1024 * 1024;
    const std::vector<uint8_t> reduced = std::exchange(_reduced, {});
    const Der_signer_split split = std::move(*_signer_split);
    _signer_split.reset();
    const Certificate_pairing pairing(_cms.get());
    const size_t count = split.signers.size();
    Signature_memo memo;
    Certificate_records certificates;
    const Owner<STACK_OF(X509)> carried(CMS_get1_certs(_cms.get()));
    _checked_integrity.clear();
    _checked_integrity.reserve(count);
    _facts.clear();
    _facts.reserve(count);
    for (size_t first = 0; first < count;) {
        size_t last = first + 1;
        size_t size = split.signers[first].size;
        while (last < count && last - first < Most_signers && size + split.signers[last].size <= Most_bytes)
            size += split.signers[last++].size;
        const std::vector<uint8_t> der = der_signed_data_with_signers(
            split, std::span<const uint8_t>(reduced).subspan(split.signers[first].offset, size));
        const unsigned char* in = der.data();
        const Cms_handle chunk(d2i_CMS_ContentInfo(nullptr, &in, static_cast<long>(der.size())));
        STACK_OF(CMS_SignerInfo)* signers = chunk ? CMS_get0_SignerInfos(chunk.get()) : nullptr;
        if (!signers || static_cast<size_t>(sk_CMS_SignerInfo_num(signers)) != last - first) {
            // OpenSSL would have refused the whole envelope for this signer.
            const std::string error = openssl_error_text();
            reset();
            _last_error = error;
            return false;
        }
        for (size_t i = first; i < last; ++i) {
            CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(signers, static_cast<int>(i - first));
            pairing.pair(signer);
            const Der_signer_split::Piece& piece = split.signers[i];
            _checked_integrity.push_back(check_signer_at(
                i, signer, digests, memo, std::span<const uint8_t>(reduced).subspan(piece.offset, piece.size)));
            _facts.push_back(facts_of(signer, certificates, carried.get()));
        }
        first = last;
    }
    keep_content_digests(digests);
    _facts_ready = true;
    _checked_while_decoding = true;
    return true;
}

namespace {

std::shared_ptr<const System_time> signing_time_of(CMS_SignerInfo* signer)
{
    const int index = CMS_signed_get_attr_by_NID(signer, NID_pkcs9_signingTime, -1);
    if (index < 0)
        return nullptr;
    X509_ATTRIBUTE* attribute = CMS_signed_get_attr(signer, index);
    const ASN1_TYPE* value = attribute ? X509_ATTRIBUTE_get0_type(attribute, 0) : nullptr;
    // Only UTCTime is read; a GeneralizedTime leaves the time not available.
    if (!value || value->type != V_ASN1_UTCTIME || !value->value.utctime)
        return nullptr;
    const ASN1_UTCTIME* utctime = value->value.utctime;
    const std::string_view text(reinterpret_cast<const char*>(ASN1_STRING_get0_data(utctime)),
                                static_cast<size_t>(std::max(0, ASN1_STRING_length(utctime))));
    Asn1_utctime_as_system_time time(text);
    return time.succeeded() ? std::make_shared<const System_time>(time.value()) : nullptr;
}

} // namespace

Pkcs7::Signer_facts Pkcs7::facts_of(CMS_SignerInfo* signer, Certificate_records& certificates,
                                    const STACK_OF(X509) * carried) const
{
    Signer_facts facts;
    X509* certificate = nullptr;
    X509_ALGOR* digest_algorithm = nullptr;
    CMS_SignerInfo_get0_algs(signer, nullptr, &certificate, &digest_algorithm, nullptr);
    if (certificate) {
        auto found = certificates.find(certificate);
        if (found == certificates.end())
            found = certificates.emplace(certificate, Signer_certificate::from_x509(certificate)).first;
        facts.certificate = found->second;
        facts.certificate_mismatch = !signing_certificate_bound(signer, certificate, carried);
    }
    facts.signing_time = signing_time_of(signer);
    const ASN1_OBJECT* algorithm = nullptr;
    X509_ALGOR_get0(&algorithm, nullptr, nullptr, digest_algorithm);
    facts.digest_nid = algorithm ? OBJ_obj2nid(algorithm) : 0;
    const ASN1_OCTET_STRING* value = CMS_SignerInfo_get0_signature(signer);
    const unsigned char* data = ASN1_STRING_get0_data(value);
    facts.signature_value.assign(data, data + std::max(0, ASN1_STRING_length(value)));
    facts.signature_tokens = timestamp_tokens_of(signer, true);
    facts.content_tokens = timestamp_tokens_of(signer, false);
    if (CMS_unsigned_get_attr_by_NID(signer, NID_pkcs9_countersignature, -1) >= 0)
        facts.countersignatures = countersignatures_of(signer, facts.signature_value, _cms.get());
    facts.carried = carried_validation_data(signer);
    facts.long_term = carries_long_term_attributes(signer);
    ERR_clear_error();
    return facts;
}

namespace {

// The certificates and CRLs a time-stamp token carries, as DER.
Validation_data token_validation_data(std::span<const uint8_t> token)
{
    Validation_data data;
    const unsigned char* in = token.data();
    const Cms_handle cms(
        d2i_CMS_ContentInfo(nullptr, &in, static_cast<long>(std::min<size_t>(token.size(), LONG_MAX))));
    const Owner<STACK_OF(X509)> certificates(cms ? CMS_get1_certs(cms.get()) : nullptr);
    const Owner<STACK_OF(X509_CRL)> crls(cms ? CMS_get1_crls(cms.get()) : nullptr);
    const auto der = [](auto encode) {
        unsigned char* raw = nullptr;
        const int length = encode(&raw);
        const Owner<unsigned char, Openssl_free> owned(raw);
        return length > 0 ? std::vector<uint8_t>(raw, raw + length) : std::vector<uint8_t>{};
    };
    for (int i = 0; certificates && i < sk_X509_num(certificates.get()) && i < int(Validation_item_limit); ++i)
        data.certificates.push_back(
            der([&](unsigned char** out) { return i2d_X509(sk_X509_value(certificates.get(), i), out); }));
    for (int i = 0; crls && i < sk_X509_CRL_num(crls.get()) && i < int(Validation_item_limit); ++i)
        data.crls.push_back(
            der([&](unsigned char** out) { return i2d_X509_CRL(sk_X509_CRL_value(crls.get(), i), out); }));
    ERR_clear_error();
    return data;
}

// The certificates and revocation data of the SignedData itself (where a long-term signature keeps
// the validation data of its time stamps): CRLs, and OCSP answers as other revocation data.
Validation_data envelope_validation_data(const Cades_signed_data_parts& parts)
{
    static constexpr uint8_t Ocsp_response_oid[] = {0x06, 0x08, 0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x10, 0x02};
    Validation_data data;
    for (const auto& certificate : parts.certificates)
        if (certificate.size() > 0 && certificate[0] == 0x30 && data.certificates.size() < Validation_item_limit)
            data.certificates.emplace_back(certificate.begin(), certificate.end());
    for (const auto& crl : parts.crls) {
        if (data.crls.size() >= Validation_item_limit || data.ocsp_answers.size() >= Validation_item_limit)
            break;
        if (!crl.empty() && crl[0] == 0x30) {
            data.crls.emplace_back(crl.begin(), crl.end());
            continue;
        }
        const auto other = read_der_item(crl);
        const auto fields = other && other->tag == 0xA1 ? read_der_items(other->contents, 2) : std::nullopt;
        if (fields && fields->size() == 2 &&
            std::equal((*fields)[0].whole.begin(), (*fields)[0].whole.end(), std::begin(Ocsp_response_oid),
                       std::end(Ocsp_response_oid)))
            data.ocsp_answers.emplace_back((*fields)[1].whole.begin(), (*fields)[1].whole.end());
    }
    return data;
}

} // namespace

bool Pkcs7::carries_long_term_attributes(CMS_SignerInfo* signer)
{
    for (int i = 0; i < CMS_unsigned_get_attr_count(signer); ++i) {
        const ASN1_OBJECT* type = X509_ATTRIBUTE_get0_object(CMS_unsigned_get_attr(signer, i));
        char text[64];
        if (!type || OBJ_obj2txt(text, sizeof text, type, 1) <= 0)
            continue;
        const std::string_view oid(text);
        if (oid == "0.4.0.1733.2.4" || oid == "1.2.840.113549.1.9.16.2.48" || oid == "1.2.840.113549.1.9.16.2.25" ||
            oid == "1.2.840.113549.1.9.16.2.26")
            return true;
    }
    return false;
}

void Pkcs7::read_long_term_data()
{
    if (std::none_of(_facts.begin(), _facts.end(), [](const Signer_facts& facts) { return facts.long_term; }))
        return;
    Trace_block block("Lettura dei dati per la conservazione a lungo termine");
    std::vector<uint8_t> source = std::exchange(_long_term_source, {});
    std::optional<Cades_signed_data_parts> parts = read_cades_parts(source);
    if (!parts) {
        // Not DER as the file holds it (BER, text read whole by OpenSSL): OpenSSL's encoding of
        // it, signers and attributes in the order OpenSSL keeps them.
        unsigned char* raw = nullptr;
        const int length = i2d_CMS_ContentInfo(_cms.get(), &raw);
        const Owner<unsigned char, Openssl_free> owned(raw);
        source.assign(raw, raw + std::max(0, length));
        parts = read_cades_parts(source);
    }
    ERR_clear_error();
    if (!parts) {
        Trace(Trace_kind, Level_error) << "La struttura della busta non permette di verificare le marche d'archivio.";
        for (Signer_facts& facts : _facts)
            if (facts.long_term)
                facts.archive_timestamps.clear();
        return;
    }
    Cades_content_form form;
    form.set_apart = _walked;
    form.size = _content_size;
    form.detached = !_walked && !parts->content_carried;
    const Validation_data envelope_data = envelope_validation_data(*parts);
    for (size_t i = 0; i < _facts.size(); ++i) {
        Signer_facts& facts = _facts[i];
        if (!facts.long_term)
            continue;
        const auto same = [&facts](const Cades_signer_parts& signer) {
            return std::equal(signer.signature_value.begin(), signer.signature_value.end(),
                              facts.signature_value.begin(), facts.signature_value.end());
        };
        const Cades_signer_parts* signer =
            i < parts->signers.size() && same(parts->signers[i]) ? &parts->signers[i] : nullptr;
        for (size_t n = 0; !signer && n < parts->signers.size(); ++n)
            signer = same(parts->signers[n]) ? &parts->signers[n] : nullptr;
        if (!signer)
            continue;
        facts.archive_timestamps = archive_timestamps_of(*parts, *signer, form);
        facts.carried.add(envelope_data);
        for (const Archive_timestamp_input& timestamp : facts.archive_timestamps)
            facts.carried.add(token_validation_data(timestamp.token));
    }
}

std::vector<Archive_timestamp_input> Pkcs7::signer_archive_timestamps() const
{
    return _selected ? _facts[_current].archive_timestamps : std::vector<Archive_timestamp_input>{};
}

} // namespace velin
