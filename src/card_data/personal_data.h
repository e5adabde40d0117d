// EF.Dati_personali of a CNS card: six hexadecimal digits with the length of what follows, then
// the fields in a fixed order, each two hexadecimal digits of length and its characters. The card
// may pad the file after the declared length.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace velin {

enum class Personal_field : size_t {
    Issuer_code,
    Issue_date,
    Expiry_date,
    Surname,
    Given_name,
    Birth_date,
    Sex,
    Height,
    Fiscal_code,
    Citizenship,
    Birth_municipality,
    Birth_country,
    Birth_record,
    Residence_municipality,
    Residence_address,
    Expatriate_notes,
};
constexpr size_t Personal_field_count = 16;

struct Personal_data {
    std::array<std::string, Personal_field_count> fields;

    const std::string& operator[](Personal_field field) const { return fields[static_cast<size_t>(field)]; }
};

// The fields, or nothing when the file is not well formed: a length that is not hexadecimal or
// runs past the data, a control character, a date that is not ddmmyyyy. The fields are ISO
// 8859-1 on the card and UTF-8 here.
// Fields missing at the end of the declared data are empty; fields after the known ones are
// ignored.
std::optional<Personal_data> parse_personal_data(std::span<const uint8_t> bytes);

// "ddmmyyyy" as "dd/mm/yyyy"; "" stays "".
std::string display_date(std::string_view ddmmyyyy);

} // namespace velin
