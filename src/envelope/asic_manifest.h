// The manifests of a signature container with several documents ("META-INF/ASiCManifest*.xml"):
// each names the signature (a ".p7s" over the manifest's bytes) in its SigReference and lists the
// container's files with their digests. What a signature covers is the files its manifest lists,
// each only when its digest holds.
#pragma once

#include "envelope/asic_container.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velin {

inline constexpr const char* Asic_manifest_ns = "http://uri.etsi.org/02918/v1.2.1#";

inline constexpr const char* Asic_text_manifest_unreadable =
    "Un manifesto del contenitore di firme non è leggibile: il contenitore è rifiutato.";
inline constexpr const char* Asic_text_digest_algorithm =
    "Il manifesto della firma usa un algoritmo di hash non supportato.";

struct Asic_manifest_reference {
    std::string uri;
    std::string digest_method;
    std::vector<uint8_t> digest;
};

struct Asic_manifest {
    std::string signature_uri; // the SigReference's URI
    std::vector<Asic_manifest_reference> references;
};

// The root of an archive manifest ("META-INF/ASiCArchiveManifest*.xml"): the same content, its
// SigReference naming the time stamp over it.
inline constexpr const char* Asic_archive_manifest_root = "ASiCArchiveManifest";

// The manifest, or nullopt with problem set (Asic_text_manifest_unreadable, or the XML reader's
// refusal): a root of that name with one SigReference and at least one DataObjectReference, each
// with a URI, a digest method and a digest value.
std::optional<Asic_manifest> read_asic_manifest(std::span<const uint8_t> bytes, std::string& problem,
                                                const char* root_name = "ASiCManifest");

// What one manifest's references find in the container.
struct Asic_coverage {
    std::vector<std::string> covers; // the files listed whose digests hold, in the manifest's order
    bool mismatch = false; // a digest that does not hold
    // Why the references cannot all be checked (a missing file, an unknown algorithm); empty when
    // they can.
    std::string problem;

    bool holds() const { return !mismatch && problem.empty(); }
};

Asic_coverage check_manifest_references(const Asic_manifest& manifest, const Asic_container& container);

// A name from the container as a line can show it: control characters replaced, long ones cut.
std::string asic_shown_name(const std::string& name);
// The text for a file a signature names and the container lacks.
std::string asic_missing_file_text(const std::string& uri);
// The warning for a file of the container that no signature covers.
std::string asic_uncovered_file_text(const std::string& name);
// The warning for a signature, time stamp or manifest of the container that is not checked.
std::string asic_unchecked_file_text(const std::string& name);

} // namespace velin
