// The Netlink directory files of a CNS card: a BER-TLV SEQUENCE (30) of context-specific
// records A0–A6, each a SET (31) of primitive items 80–87. Any other shape is refused with
// BASIC_ERRORS::Bad_format ("Il formato dei dati analizzati non è valido.").
#pragma once

#include "cardlib/iso7816_apdu.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace velin::cardlib {

using File_path = std::vector<uint16_t>;

struct Netlink_record {
    uint8_t tag = 0; // A0–A6
    std::map<uint8_t, Bytes> items; // by item tag 80–87; a repeated tag keeps its first value
};

// Where the Netlink application keeps its files, read from EF.NETLINK.
struct Netlink_directory {
    File_path directory; // D: path of the Netlink DF below the master file
    std::map<uint32_t, uint16_t> files; // catalogue ids 1–4 → file identifier inside D
};

class NetLinkParser {
public:
    static std::vector<Netlink_record> parse(const Bytes& bytes);

    // EF.DIR (2F00): the file identifier of EF.NETLINK (record A0, item 82).
    static uint16_t netlink_file_id(const Bytes& ef_dir);
    // EF.NETLINK: D from record A1 item 80; EF.NKCF, EF.NKAF, EF.NKEF, EF.NKEP (ids 1–4) from
    // record A3 items 80, 82, 84 and 86.
    static Netlink_directory directory(const Bytes& ef_netlink);
    // The pointer file (D004): for every record A5 (free file) or A6 (PIN file), its name
    // (item 80) and its path from the master file (item 81).
    static std::vector<std::pair<std::string, File_path>> pointers(const Bytes& pointer_file);
};

} // namespace velin::cardlib
