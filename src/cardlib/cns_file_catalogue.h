// The files the library knows on a CNS card: ids, names, paths, who may read them and how the
// reading dialog describes them; and how a caller's file name or path text is understood.
#pragma once

#include "cardlib/netlink_parser.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velin::cardlib {

enum Access_class : int {
    Access_unknown = 0, // a path that is in no catalogue entry: consent after the read
    Access_free = 1, // consent before the read
    Access_pin = 2, // the holder's PIN before the read
};

// The gender and number of a short description, which the consent sentence's participle takes:
// "il numero seriale della Carta registrato", "la lista ... registrata", "i dati ... registrati".
enum class Agreement { Masculine_plural, Masculine_singular, Feminine_singular, Feminine_plural };

struct CNS_known_file_info {
    uint32_t id = 0;
    std::string name;
    std::optional<File_path> path; // nothing: learnt from the card's Netlink directory
    Access_class access = Access_free;
    std::string short_description;
    std::string long_description;
    Agreement agreement = Agreement::Masculine_plural;
};

// The catalogue, in search order.
const std::vector<CNS_known_file_info>& cns_catalogue();
const CNS_known_file_info& catalogue_entry(uint32_t id);

// Blanks, full stops and underscores removed, upper case: "EF.Dati_personali" → "EFDATIPERSONALI".
std::string normalise_file_name(std::string_view name);

// A name made of hexadecimal digits only is a path: four digits per identifier, a leading 3F00
// dropped. Nothing when the name is not such a token; BASIC_ERRORS::Invalid_argument when it is
// one but names no file below the master file (empty, or digits not in groups of four).
std::optional<File_path> path_from_text(std::string_view name);

// The catalogue id of a name, by normalised comparison in catalogue order.
std::optional<uint32_t> catalogue_id_of(std::string_view name);

} // namespace velin::cardlib
