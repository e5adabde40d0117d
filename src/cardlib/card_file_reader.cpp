#include "cardlib/card_file_reader.h"

#include "cardlib/card_exceptions.h"
#include "common/trace.h"

namespace velin::cardlib {

namespace {

constexpr uint32_t Error_handle_eof = 38;
constexpr uint32_t Error_invalid_data = 13;

} // namespace

size_t fci_file_size(const Bytes& fci)
{
    check(!fci.empty(), "not fci.empty ()");
    std::optional<size_t> size;
    if (fci[0] == 0x6F || fci[0] == 0x62) {
        // One-byte tags and lengths from offset 2; an item running past the end ends the walk.
        for (size_t at = 2; at + 2 <= fci.size();) {
            const uint8_t tag = fci[at];
            const size_t length = fci[at + 1];
            if (fci.size() - (at + 2) < length)
                break;
            if ((tag == 0x80 || tag == 0x81) && length == 2)
                size = static_cast<size_t>(fci[at + 2]) << 8 | fci[at + 3];
            at += 2 + length;
        }
    }
    if (!size)
        throw CEnumException<QUARK_ERROR>(QUARK_ERROR::Unexpected_data);
    return *size;
}

Bytes read_selected_file(SCard& card, const Bytes& fci, size_t size)
{
    check(!fci.empty(), "not fci.empty ()");
    if (size == 0)
        size = fci_file_size(fci);
    Bytes content;
    content.reserve(size);
    while (content.size() < size) {
        const size_t offset = content.size();
        const size_t chunk = std::min(size - offset, Read_chunk);
        const auto& response =
            card.transmit_checked(read_binary_command(static_cast<uint16_t>(offset), static_cast<uint8_t>(chunk)));
        if (response.data_size() != chunk)
            throw CEnumException<BASIC_ERRORS::CError>(BASIC_ERRORS::Bad_format);
        const Bytes& bytes = response.bytes();
        content.insert(content.end(), bytes.begin(), bytes.end() - 2);
    }
    return content;
}

Selected_file select_path(SCard& card, const File_path& path)
{
    Selected_file selected;
    try {
        selected.fci = card.transmit_checked(select_by_path_command(0x08, path)).data();
        return selected;
    } catch (const SCard_command_failed_exception& e) {
        if (e.response().status_word() != 0x6700)
            throw;
    }
    Trace(Trace_kind, Level_info) << "Selezione per percorso non accettata: selezione passo per passo";
    selected.step_by_step = true;
    card.transmit_checked(select_by_name_command(0x00, ""));
    for (size_t i = 0; i < path.size(); ++i) {
        if (i == 0 && path[i] == 0x3F00)
            continue;
        selected.fci = card.transmit_checked(select_by_file_id_command(0x00, path[i])).data();
    }
    if (path == File_path{0x1000, 0x1003})
        selected.size = 16;
    else if (path == File_path{0x1100, 0x1102})
        selected.size = 400;
    return selected;
}

Bytes read_path(SCard& card, const File_path& path)
{
    const Selected_file selected = select_path(card, path);
    return read_selected_file(card, selected.fci, selected.size);
}

size_t der_object_length(const Bytes& bytes)
{
    if (bytes.size() < 2)
        throw Winapi_exception(Error_handle_eof);
    const uint8_t first = bytes[1];
    uint64_t length = 0;
    if (first < 0x80) {
        length = first + 2u;
    } else if (first >= 0x81 && first <= 0x84) {
        const size_t count = first & 0x7F;
        if (bytes.size() < 2 + count)
            throw Winapi_exception(Error_handle_eof);
        uint64_t value = 0;
        for (size_t i = 0; i < count; ++i)
            value = value << 8 | bytes[2 + i];
        length = value + 2 + count;
    } else {
        throw Winapi_exception(Error_invalid_data);
    }
    // Cutting beyond what was read would hand out bytes the card never gave.
    if (length > bytes.size())
        throw Winapi_exception(Error_handle_eof);
    return static_cast<size_t>(length);
}

} // namespace velin::cardlib
