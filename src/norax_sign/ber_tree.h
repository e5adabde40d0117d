// Signed envelopes changed without re-encoding what their signatures cover. An element is kept as
// its own bytes, or rebuilt around its children (the containers on the way to a change); a
// rebuilt container keeps its indefinite length when it had one, and a definite length is
// recomputed. One leaf may stand for bytes that the caller writes itself (a document of any size
// that is never held in memory).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace velin {

struct Ber_header {
    std::span<const uint8_t> identifier; // the identifier octets (tag, class, constructed bit)
    size_t header_size = 0; // identifier and length octets
    bool indefinite = false;
    uint64_t length = 0; // of the contents, when definite

    bool constructed() const { return !identifier.empty() && (identifier[0] & 0x20) != 0; }
    uint8_t first_octet() const { return identifier.empty() ? 0 : identifier[0]; }
};

// The header at the start of bytes; empty when it is malformed or does not fit.
std::optional<Ber_header> read_ber_header(std::span<const uint8_t> bytes);

// The whole element at the start of bytes (header, contents, and for an indefinite length the
// end-of-contents octets); empty when it is malformed, runs past the end or nests too deep.
std::optional<std::span<const uint8_t>> ber_element(std::span<const uint8_t> bytes);

// The elements inside a constructed element, in order; empty when it is not constructed or any
// child is malformed.
std::optional<std::vector<std::span<const uint8_t>>> ber_children(std::span<const uint8_t> element);

// Where a rebuilt envelope goes: its bytes, and at most one hole for the caller's own bytes.
class Ber_output {
public:
    virtual ~Ber_output() = default;
    virtual void write(std::span<const uint8_t> bytes) = 0;
    virtual void external(uint64_t size) = 0;
};

// Collects the bytes around the hole: head, then the caller's bytes, then tail.
class Ber_layout : public Ber_output {
public:
    void write(std::span<const uint8_t> bytes) override;
    void external(uint64_t size) override;

    std::vector<uint8_t> head;
    std::vector<uint8_t> tail;
    uint64_t external_size = 0;
    bool has_external = false;
};

class Ber_node {
public:
    // The element's own bytes, copied.
    static Ber_node verbatim(std::span<const uint8_t> element);
    // size bytes that the caller writes where the node stands.
    static Ber_node external(uint64_t size);
    // A container rebuilt around its children: identifier as given, indefinite or definite length.
    static Ber_node container(std::vector<uint8_t> identifier, bool indefinite, std::vector<Ber_node> children);
    // The same container kind as element (identifier and length form), around new children.
    static Ber_node rebuilt(std::span<const uint8_t> element, std::vector<Ber_node> children);

    uint64_t size() const;
    void write(Ber_output& out) const;
    std::vector<uint8_t> bytes() const; // no external leaf allowed

private:
    enum class Kind { Verbatim, External, Container };
    Kind _kind = Kind::Verbatim;
    std::vector<uint8_t> _bytes; // verbatim bytes, or a container's identifier
    uint64_t _external_size = 0;
    bool _indefinite = false;
    std::vector<Ber_node> _children;
};

// The definite-length octets for length.
std::vector<uint8_t> ber_length(uint64_t length);

} // namespace velin
