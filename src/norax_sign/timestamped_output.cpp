#include "norax_sign/timestamped_output.h"

#include "common/failure.h"
#include "norax_sign/ber_tree.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>

namespace velin {

namespace {

// Neither '-' nor '_' is a base64 character: no base64 line can hold the boundary.
constexpr std::string_view Boundary = "----=_Velin_marca_temporale";

bool ends_with_no_case(std::string_view text, std::string_view suffix)
{
    return text.size() >= suffix.size() &&
           std::equal(suffix.begin(), suffix.end(), text.end() - static_cast<std::ptrdiff_t>(suffix.size()),
                      [](char a, char b) {
                          return std::tolower(static_cast<unsigned char>(a)) ==
                                 std::tolower(static_cast<unsigned char>(b));
                      });
}

void append(std::vector<uint8_t>& out, std::string_view text)
{
    out.insert(out.end(), text.begin(), text.end());
}

// Base64 in lines of 76 characters, each ended by CRLF, over the pieces read as one.
void append_base64(std::vector<uint8_t>& out, const std::vector<std::span<const uint8_t>>& pieces)
{
    constexpr size_t line_bytes = 57;
    uint8_t pending[line_bytes];
    size_t filled = 0;
    unsigned char line[80];
    const auto flush = [&] {
        const int written = EVP_EncodeBlock(line, pending, static_cast<int>(filled));
        out.insert(out.end(), line, line + std::max(written, 0));
        append(out, "\r\n");
        filled = 0;
    };
    for (const auto& piece : pieces) {
        for (size_t at = 0; at < piece.size();) {
            const size_t taken = std::min(line_bytes - filled, piece.size() - at);
            std::copy_n(piece.data() + at, taken, pending + filled);
            filled += taken;
            at += taken;
            if (filled == line_bytes)
                flush();
        }
    }
    if (filled > 0)
        flush();
}

Ber_node primitive(uint8_t tag, std::span<const uint8_t> content)
{
    std::vector<Ber_node> children;
    children.push_back(Ber_node::verbatim(content));
    return Ber_node::container({tag}, false, std::move(children));
}

Ber_node primitive(uint8_t tag, std::string_view content)
{
    return primitive(tag, std::span(reinterpret_cast<const uint8_t*>(content.data()), content.size()));
}

Ber_node sequence(uint8_t tag, std::vector<Ber_node> children)
{
    return Ber_node::container({tag}, false, std::move(children));
}

} // namespace

std::optional<Timestamp_form> timestamp_form_named(std::string_view name)
{
    std::string lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower == "cades-t")
        return Timestamp_form::Signature;
    if (lower == "m7m")
        return Timestamp_form::M7m;
    if (lower == "tsd")
        return Timestamp_form::Tsd;
    if (lower == "pades-t")
        return Timestamp_form::Pdf;
    if (lower == "tsr")
        return Timestamp_form::Tsr;
    return std::nullopt;
}

std::vector<uint8_t> m7m_file(const std::vector<std::span<const uint8_t>>& envelope, std::span<const uint8_t> reply)
{
    const std::string delimiter = "--" + std::string(Boundary) + "\r\n";
    std::vector<uint8_t> file;
    size_t size = 0;
    for (const auto& piece : envelope)
        size += piece.size();
    file.reserve((size + reply.size()) / 57 * 78 + 512);
    append(file,
           "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"" + std::string(Boundary) + "\"\r\n\r\n");
    append(file, delimiter + "Content-Type: application/pkcs7-mime\r\nContent-Transfer-Encoding: base64\r\n\r\n");
    append_base64(file, envelope);
    append(file, delimiter + "Content-Type: application/timestamp-reply\r\nContent-Transfer-Encoding: base64\r\n\r\n");
    append_base64(file, {reply});
    append(file, "--" + std::string(Boundary) + "--\r\n");
    return file;
}

Tsd_wrapping tsd_wrapping(uint64_t envelope_size, std::span<const uint8_t> token, const std::string& file_name)
{
    // 1.2.840.113549.1.9.16.1.31, id-ct-timestampedData
    static constexpr uint8_t content_type[] = {0x06, 0x0B, 0x2A, 0x86, 0x48, 0x86, 0xF7,
                                               0x0D, 0x01, 0x09, 0x10, 0x01, 0x1F};
    static constexpr uint8_t version[] = {0x02, 0x01, 0x01};
    static constexpr uint8_t not_hash_protected[] = {0x01, 0x01, 0x00};

    std::vector<Ber_node> meta;
    meta.push_back(Ber_node::verbatim(not_hash_protected));
    meta.push_back(primitive(0x0C, file_name)); // UTF8String
    meta.push_back(primitive(0x16, std::string_view("application/pkcs7-mime"))); // IA5String
    std::vector<Ber_node> content;
    content.push_back(Ber_node::external(envelope_size));
    std::vector<Ber_node> time_stamp_and_crl;
    time_stamp_and_crl.push_back(Ber_node::verbatim(token));
    std::vector<Ber_node> evidence;
    evidence.push_back(sequence(0x30, std::move(time_stamp_and_crl)));

    std::vector<Ber_node> fields;
    fields.push_back(Ber_node::verbatim(version));
    fields.push_back(sequence(0x30, std::move(meta)));
    fields.push_back(Ber_node::container({0x04}, false, std::move(content)));
    fields.push_back(sequence(0xA0, std::move(evidence))); // tstEvidence [0] IMPLICIT SEQUENCE OF
    std::vector<Ber_node> explicit_content;
    explicit_content.push_back(sequence(0x30, std::move(fields)));
    std::vector<Ber_node> content_info;
    content_info.push_back(Ber_node::verbatim(content_type));
    content_info.push_back(sequence(0xA0, std::move(explicit_content)));

    Ber_layout layout;
    sequence(0x30, std::move(content_info)).write(layout);
    return {std::move(layout.head), std::move(layout.tail)};
}

std::optional<Signed_output> timestamped_envelope(const Signed_output& output, Timestamp_form form,
                                                  const Timestamp_client& client, const std::string& envelope_name,
                                                  std::string& failure)
{
    assertion(!output.held, "output.held eq NULL");
    assertion(form == Timestamp_form::M7m || form == Timestamp_form::Tsd, "form in {M7m, Tsd}");
    const std::vector<std::span<const uint8_t>> envelope{output.head, output.document, output.tail};
    const std::optional<Timestamp> stamp = client.stamp(envelope, failure);
    if (!stamp)
        return std::nullopt;
    Signed_output stamped;
    if (form == Timestamp_form::M7m) {
        stamped.head = m7m_file(envelope, stamp->reply);
        return stamped;
    }
    Tsd_wrapping wrapping = tsd_wrapping(output.size(), stamp->token, envelope_name);
    stamped.head = std::move(wrapping.head);
    stamped.head.insert(stamped.head.end(), output.head.begin(), output.head.end());
    stamped.document = output.document;
    stamped.tail = output.tail;
    stamped.tail.insert(stamped.tail.end(), wrapping.tail.begin(), wrapping.tail.end());
    return stamped;
}

std::string timestamped_path(const std::string& envelope_path, Timestamp_form form)
{
    if (form == Timestamp_form::Tsd)
        return envelope_path + ".tsd";
    if (form == Timestamp_form::Tsr)
        return envelope_path + ".tsr";
    if (form == Timestamp_form::M7m)
        return (ends_with_no_case(envelope_path, ".p7m") ? envelope_path.substr(0, envelope_path.size() - 4)
                                                         : envelope_path) +
               ".m7m";
    return envelope_path;
}

} // namespace velin
