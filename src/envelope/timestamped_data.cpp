#include "envelope/timestamped_data.h"

#include "envelope/ber_reader.h"
#include "envelope/timestamp_token.h"

#include <algorithm>

namespace velin {

namespace {

// 1.2.840.113549.1.9.16.1.31
constexpr uint8_t Timestamped_data_oid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x10, 0x01, 0x1F};

// A file can hold a long renewal chain, but not an unbounded one.
constexpr size_t Max_evidence = 256;

bool is_universal(const Ber_element& element, uint32_t tag)
{
    return element.is(0, tag);
}

std::string text_of(const Ber_element& element)
{
    const auto bytes = ber_string_bytes(element);
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

bool read_meta_data(const Ber_element& element, Timestamped_data& out)
{
    const auto fields = ber_children(element);
    if (!fields || fields->empty() || !is_universal((*fields)[0], Ber_boolean) || (*fields)[0].content.size() != 1)
        return false;
    out.has_meta_data = true;
    out.hash_protected = (*fields)[0].content[0] != 0;
    for (size_t i = 1; i < fields->size(); ++i) {
        const Ber_element& field = (*fields)[i];
        if (is_universal(field, Ber_utf8_string))
            out.file_name = text_of(field);
        else if (is_universal(field, Ber_ia5_string))
            out.media_type = text_of(field);
    }
    out.meta_data_der = ber_definite(element);
    return true;
}

// A TimeStampAndCRL: a ContentInfo (the token) and an optional CertificateList.
bool read_evidence(const Ber_element& element, Timestamped_data& out)
{
    const auto fields = ber_children(element);
    if (!is_universal(element, Ber_sequence) || !fields || fields->empty() || fields->size() > 2 ||
        !is_universal((*fields)[0], Ber_sequence))
        return false;
    const auto& token = (*fields)[0].whole;
    out.chain.push_back({{token.begin(), token.end()}, ber_definite(element)});
    return true;
}

bool read_evidence_list(const Ber_element& list, Timestamped_data& out)
{
    auto items = ber_children(list);
    if (!items || items->empty())
        return false;
    // [0] IMPLICIT SEQUENCE OF as the module says; some writers add the SEQUENCE inside an
    // explicit tag. The two differ two levels down: a TimeStampAndCRL opens with a ContentInfo
    // (which opens with its OID), the added SEQUENCE with a TimeStampAndCRL.
    if (items->size() == 1 && is_universal((*items)[0], Ber_sequence)) {
        const auto inner = ber_children((*items)[0]);
        const auto first = inner && !inner->empty() ? ber_children((*inner)[0]) : std::nullopt;
        if (first && !first->empty() && is_universal((*first)[0], Ber_sequence))
            items = inner;
    }
    if (items->size() > Max_evidence)
        return false;
    for (const Ber_element& item : *items)
        if (!read_evidence(item, out))
            return false;
    return true;
}

} // namespace

std::optional<Timestamped_data> read_timestamped_data(std::span<const uint8_t> bytes, std::string& problem)
{
    problem = "Il file non è un documento con marche temporali leggibile.";
    const std::vector<uint8_t> binary = binary_form(bytes);
    const auto info = read_ber(binary);
    const auto outer = info ? ber_children(*info) : std::nullopt;
    if (!outer || outer->size() != 2 || !is_universal((*outer)[0], Ber_oid) ||
        !std::equal((*outer)[0].content.begin(), (*outer)[0].content.end(), std::begin(Timestamped_data_oid),
                    std::end(Timestamped_data_oid)) ||
        !(*outer)[1].is(2, 0))
        return std::nullopt;
    const auto wrapped = ber_children((*outer)[1]);
    if (!wrapped || wrapped->size() != 1 || !is_universal((*wrapped)[0], Ber_sequence))
        return std::nullopt;
    const auto fields = ber_children((*wrapped)[0]);
    if (!fields || fields->size() < 2 || !is_universal((*fields)[0], Ber_integer))
        return std::nullopt;

    Timestamped_data data;
    bool evidence = false;
    for (size_t i = 1; i < fields->size(); ++i) {
        const Ber_element& field = (*fields)[i];
        if (evidence)
            return std::nullopt; // nothing follows the evidence
        if (is_universal(field, Ber_ia5_string) && !data.has_meta_data && !data.content) {
            data.data_uri = text_of(field);
        } else if (is_universal(field, Ber_sequence) && !data.has_meta_data && !data.content) {
            if (!read_meta_data(field, data))
                return std::nullopt;
        } else if (is_universal(field, Ber_octet_string) && !data.content) {
            auto content = ber_string_bytes(field);
            if (!content)
                return std::nullopt;
            data.content = std::move(*content);
        } else if (field.is(2, 0) && field.constructed) {
            if (!read_evidence_list(field, data))
                return std::nullopt;
            evidence = true;
        } else if (field.is(2, 1) || field.is(2, 2)) {
            problem = "Il file contiene prove di conservazione di un tipo non supportato.";
            return std::nullopt;
        } else {
            return std::nullopt;
        }
    }
    if (!evidence)
        return std::nullopt;
    problem.clear();
    return data;
}

} // namespace velin
