#include "cardlib/netlink_parser.h"

#include "cardlib/card_exceptions.h"

namespace velin::cardlib {

namespace {

[[noreturn]] void bad_format()
{
    throw CEnumException<BASIC_ERRORS::CError>(BASIC_ERRORS::Bad_format);
}

// Reads one tag and its definite length at position; the value must lie within end.
struct Tlv {
    uint8_t tag;
    size_t value; // offset of the value
    size_t length;
};

Tlv read_tlv(const Bytes& bytes, size_t position, size_t end)
{
    if (end - position < 2)
        bad_format();
    Tlv tlv{bytes[position], 0, 0};
    // Every tag of these files fits one byte.
    if ((tlv.tag & 0x1F) == 0x1F)
        bad_format();
    size_t at = position + 1;
    const uint8_t first = bytes[at++];
    if (first < 0x80) {
        tlv.length = first;
    } else {
        const size_t count = first & 0x7F;
        // 0x80 (indefinite) and lengths beyond a short file are refused.
        if (count == 0 || count > 2 || end - at < count)
            bad_format();
        for (size_t i = 0; i < count; ++i)
            tlv.length = tlv.length << 8 | bytes[at++];
    }
    if (end - at < tlv.length)
        bad_format();
    tlv.value = at;
    return tlv;
}

File_path path_of(const Bytes& value)
{
    if (value.empty() || value.size() % 2 != 0)
        bad_format();
    File_path path;
    for (size_t i = 0; i < value.size(); i += 2)
        path.push_back(static_cast<uint16_t>(value[i] << 8 | value[i + 1]));
    return path;
}

uint16_t file_id_of(const Bytes& value)
{
    if (value.size() != 2)
        bad_format();
    return static_cast<uint16_t>(value[0] << 8 | value[1]);
}

const Bytes& item(const Netlink_record& record, uint8_t tag)
{
    const auto found = record.items.find(tag);
    if (found == record.items.end())
        bad_format();
    return found->second;
}

} // namespace

std::vector<Netlink_record> NetLinkParser::parse(const Bytes& bytes)
{
    if (bytes.empty() || bytes[0] != 0x30)
        bad_format();
    const Tlv sequence = read_tlv(bytes, 0, bytes.size());
    // Whatever follows the SEQUENCE is the file's padding.
    const size_t end = sequence.value + sequence.length;
    std::vector<Netlink_record> records;
    for (size_t at = sequence.value; at < end;) {
        const Tlv record = read_tlv(bytes, at, end);
        if (record.tag < 0xA0 || record.tag > 0xA6)
            bad_format();
        const size_t record_end = record.value + record.length;
        const Tlv set = read_tlv(bytes, record.value, record_end);
        if (set.tag != 0x31 || set.value + set.length != record_end)
            bad_format();
        Netlink_record parsed;
        parsed.tag = record.tag;
        for (size_t i = set.value; i < record_end;) {
            const Tlv primitive = read_tlv(bytes, i, record_end);
            if (primitive.tag < 0x80 || primitive.tag > 0x87)
                bad_format();
            parsed.items.emplace(primitive.tag,
                                 Bytes(bytes.begin() + static_cast<long>(primitive.value),
                                       bytes.begin() + static_cast<long>(primitive.value + primitive.length)));
            i = primitive.value + primitive.length;
        }
        records.push_back(std::move(parsed));
        at = record_end;
    }
    return records;
}

uint16_t NetLinkParser::netlink_file_id(const Bytes& ef_dir)
{
    for (const auto& record : parse(ef_dir))
        if (record.tag == 0xA0 && record.items.count(0x82))
            return file_id_of(record.items.at(0x82));
    bad_format();
}

Netlink_directory NetLinkParser::directory(const Bytes& ef_netlink)
{
    const auto records = parse(ef_netlink);
    const Netlink_record* directory = nullptr;
    const Netlink_record* files = nullptr;
    for (const auto& record : records) {
        if (record.tag == 0xA1 && !directory)
            directory = &record;
        if (record.tag == 0xA3 && !files)
            files = &record;
    }
    if (!directory || !files)
        bad_format();
    Netlink_directory result;
    result.directory = path_of(item(*directory, 0x80));
    result.files[1] = file_id_of(item(*files, 0x80));
    result.files[2] = file_id_of(item(*files, 0x82));
    result.files[3] = file_id_of(item(*files, 0x84));
    result.files[4] = file_id_of(item(*files, 0x86));
    return result;
}

std::vector<std::pair<std::string, File_path>> NetLinkParser::pointers(const Bytes& pointer_file)
{
    std::vector<std::pair<std::string, File_path>> result;
    for (const auto& record : parse(pointer_file)) {
        if (record.tag != 0xA5 && record.tag != 0xA6)
            continue;
        const Bytes& name = item(record, 0x80);
        result.emplace_back(std::string(name.begin(), name.end()), path_of(item(record, 0x81)));
    }
    return result;
}

} // namespace velin::cardlib
