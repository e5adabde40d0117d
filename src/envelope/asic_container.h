// Signature containers (".asics", ".scs", ".asice", ".sce", ".bdoc", ".edoc", or a ".zip"): a ZIP
// archive whose META-INF folder holds the signatures, time stamps and manifests over the other
// files. The archive is read from memory (or the mapped file) with libzip; its stored files are
// read where they lie, the deflated ones inflated into memory (or again at each reading, past a
// limit), none written to disk under its own name.
//
// An archive is refused, with a text of ours, when it is damaged (central directory, local
// headers, check codes), holds too many files or files that inflate past the limits, encrypted
// files, names that are absolute, climb out with "..", or repeat.
#pragma once

#include "envelope/document_bytes.h"
#include "envelope/document_types.h"

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velin {

inline constexpr const char* Asic_text_damaged =
    "Il contenitore di firme è danneggiato: l'archivio ZIP non è leggibile.";
inline constexpr const char* Asic_text_too_many = "Il contenitore di firme contiene troppi file per essere verificato.";
inline constexpr const char* Asic_text_too_large =
    "Un file del contenitore di firme è troppo grande una volta decompresso: il contenitore è rifiutato.";
inline constexpr const char* Asic_text_bad_name =
    "Il contenitore di firme contiene un file con un nome non ammesso (un percorso assoluto o che risale con "
    "\"..\"): il contenitore è rifiutato.";
inline constexpr const char* Asic_text_duplicate =
    "Il contenitore di firme contiene più file con lo stesso nome: il contenitore è rifiutato.";
inline constexpr const char* Asic_text_encrypted =
    "Il contenitore di firme contiene file cifrati, che non possono essere verificati.";
inline constexpr const char* Asic_text_method = "Il contenitore di firme usa un metodo di compressione non supportato.";
inline constexpr const char* Asic_text_mimetype_placement =
    "Il file \"mimetype\" del contenitore non è il primo o è compresso: il contenitore è letto comunque.";

struct Asic_limits {
    size_t entries = 1000;
    uint64_t entry_size = 256ull * 1024 * 1024; // inflated, per file
    uint64_t total_size = 512ull * 1024 * 1024; // inflated, all files together
    // Inflated files held in memory, all together: a deflated file of more than 64 KiB past it is
    // inflated again at each reading instead.
    uint64_t held_size = 8ull * 1024 * 1024;
};

struct Asic_entry {
    std::string name; // as the archive gives it: relative, "/" between folders
    Document_bytes bytes;
    // Digests of bytes by OpenSSL digest type: the SHA-256 made while reading them, and any other
    // once a manifest asked for it, so that no file is hashed twice with one algorithm however many
    // references name it.
    mutable std::map<int, std::vector<uint8_t>> digests;
    // What the file is by its content (document_type_of_bytes), judged while it was read when its
    // bytes are not held: telling it later would inflate it again.
    std::optional<Document_types> kind = std::nullopt;
};

struct Asic_container {
    std::string mimetype; // the "mimetype" file's text; empty when there is none
    std::vector<Asic_entry> entries; // every file but "mimetype", folders left out, in archive order
    std::vector<std::string> warnings; // in the user's words

    // The file of that exact name; null when none.
    const Asic_entry* find(std::string_view name) const;
    // The files outside META-INF: the documents the signatures are over.
    std::vector<const Asic_entry*> data_objects() const;
    // The files of META-INF whose name (after "META-INF/") starts with prefix and ends with suffix.
    std::vector<const Asic_entry*> meta_files(std::string_view prefix, std::string_view suffix) const;
};

// True for a ZIP archive that looks like a container: a first file "mimetype" naming an ASiC
// type, or a META-INF folder with a signature, time stamp or manifest (names looked for in the
// raw bytes too, so that a damaged archive is still told apart and refused as such).
bool looks_like_asic_container(std::span<const uint8_t> bytes);

// The container, or nullopt with problem set to one of the texts above. A stored file is a range of
// file's bytes (a mapped file's stays a range of that file); the deflated ones are inflated into
// memory up to limits.held_size, and inflated again at each reading beyond it. A large container's
// files are read on several threads; the result is what one thread gives.
std::optional<Asic_container> read_asic_container(const Document_bytes& file, std::string& problem,
                                                  const Asic_limits& limits = {});
// The same over a copy of bytes, which the container's files then share.
std::optional<Asic_container> read_asic_container(std::span<const uint8_t> bytes, std::string& problem,
                                                  const Asic_limits& limits = {});
std::optional<Asic_container> read_asic_container(const std::vector<uint8_t>& bytes, std::string& problem,
                                                  const Asic_limits& limits = {});

// A reference's URI as a name of the container: "%xx" decoded, a leading "./" dropped; nullopt for
// URIs that name anything else (a scheme, a fragment, an absolute path, "..").
std::optional<std::string> asic_entry_name_of_uri(std::string_view uri);

} // namespace velin
