// The card's ISO 7816-4 file tree: the master file 3F00, dedicated files (optionally named by an
// application identifier) and transparent elementary files.
#pragma once

#include "bytes.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace cns_sim {

using File_path = std::vector<std::uint16_t>; // below the MF, the MF itself never written

struct Card_file {
    std::uint16_t fid = 0;
    bool dedicated = false;
    Bytes df_name; // application identifier of a DF, may be empty
    Bytes content; // body of an EF
    bool pin_protected = false;
    Card_file* parent = nullptr;
    std::vector<std::unique_ptr<Card_file>> children;

    Card_file* child(std::uint16_t id) const;
};

class Card_file_system {
public:
    static constexpr std::uint16_t mf_id = 0x3F00;

    Card_file_system();
    Card_file_system(Card_file_system&&) noexcept = default;
    Card_file_system& operator=(Card_file_system&&) noexcept = default;

    Card_file& mf() { return *root_; }
    const Card_file& mf() const { return *root_; }

    // Creates the DFs along the way as needed; throws std::invalid_argument when a path runs
    // through an EF or names an existing file.
    Card_file& add_df(const File_path& path, Bytes name = {});
    Card_file& add_ef(const File_path& path, Bytes content, bool pin_protected = false);

    // Walks from `start` through the given identifiers; nullptr when any step is missing or
    // tries to pass through an EF.
    static Card_file* walk(Card_file& start, const File_path& path);
    Card_file* find(const File_path& path) { return walk(*root_, path); }
    Card_file* find_df_by_name(Byte_view name);

private:
    std::unique_ptr<Card_file> root_;
};

} // namespace cns_sim
