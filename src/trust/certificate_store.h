// A certificate store: a list of certificates (and CRLs) with the properties a Windows store keeps
// for them, loaded from a serialized store, a DER or PEM certificate, a PKCS#7 message or a
// serialized element, and saved as a serialized store. A collection store holds no certificates
// of its own but shows those of its sibling stores, live: what is added to a sibling is at once
// seen through the collection.
//
// Stores are shared between the user-interface thread and workers; every operation locks.
#pragma once

#include "trust/certificate.h"
#include "trust/certificate_revocation_list.h"
#include "trust/serialized_store.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace velin {

// Files above this size are not read: no list in use comes near it.
constexpr size_t Store_file_max_size = 16u * 1024 * 1024;

// What a blob of bytes holds, as the import of a file tells it apart.
enum class Object_content {
    Unknown,
    Certificate, // one DER certificate or PEM certificate block(s)
    Serialized_certificate, // one serialized store element holding a certificate
    Serialized_store,
    Pkcs7, // a PKCS#7 / CMS message (DER or PEM), its certificates and CRLs
    Crl, // one DER or PEM CRL
};

struct Queried_object {
    Object_content content = Object_content::Unknown;
    // Certificates, CRLs and trust lists in the order the object holds them, each with the
    // properties a serialized form carried.
    std::vector<Serialized_element> elements;
};

// Reads a whole list file (a regular file of at most Store_file_max_size bytes). False with a
// Windows-style error code on failure.
bool read_list_file(const std::string& path, std::vector<uint8_t>& bytes, uint32_t& error);

// Recognises the bytes; never throws on any input.
Queried_object query_object(std::span<const uint8_t> bytes);

class Certificate_store {
public:
    static std::shared_ptr<Certificate_store> create_memory();
    static std::shared_ptr<Certificate_store> create_collection();
    // A memory store with what the bytes hold; null when they are not recognised, hold no store
    // content (a lone CRL is content too), or a certificate or CRL in them does not decode.
    static std::shared_ptr<Certificate_store> from_bytes(std::span<const uint8_t> bytes);
    // from_bytes of the file's content. Null on failure, with error set to a Windows-style error
    // code (2 not found, 5 access denied, 13 invalid data, 8 too large...).
    static std::shared_ptr<Certificate_store> open_file(const std::string& path, uint32_t* error = nullptr);

    Certificate_store(const Certificate_store&) = delete;
    Certificate_store& operator=(const Certificate_store&) = delete;

    // A snapshot, in store order; a collection gives its siblings' certificates in sibling order.
    std::vector<Certificate> certificates() const;
    std::vector<Certificate_revocation_list> crls() const;
    size_t size() const;
    bool contains(const Certificate& certificate) const;
    // The certificates whose subject name equals name, in store order.
    std::vector<Certificate> find_by_subject(const X509_NAME* name) const;

    // Memory stores only. An equal certificate already there is replaced in place (so a list
    // shows it once) and loses its old properties. False for an invalid certificate or on a
    // collection.
    bool add_certificate(const Certificate& certificate);
    // False when the certificate is not there.
    bool delete_certificate(const Certificate& certificate);
    // Collections only: siblings are memory stores, never the collection itself.
    bool add_sibling(std::shared_ptr<Certificate_store> sibling);

    // The store as a serialized store (a collection: the union of its siblings).
    std::vector<uint8_t> serialize() const;
    // One certificate with its properties as a serialized element; empty when absent.
    std::vector<uint8_t> serialize_element(const Certificate& certificate) const;
    // Writes serialize () through a temporary file in the same folder and a rename, so a failed
    // write never leaves a cut list behind. False with error set on failure.
    bool save_file(const std::string& path, uint32_t* error = nullptr) const;

private:
    struct Entry {
        Serialized_element element;
        Certificate certificate; // for certificate elements
        Certificate_revocation_list crl; // for CRL elements
    };

    using Entry_pointer = std::shared_ptr<const Entry>;

    explicit Certificate_store(bool collection) : _collection(collection) {}
    // This store's entries, or for a collection its siblings' entries.
    std::vector<Entry_pointer> entries_snapshot() const;
    static Entry_pointer make_entry(Serialized_element element);

    const bool _collection;
    mutable std::mutex _lock;
    std::vector<Entry_pointer> _entries;
    std::vector<std::shared_ptr<Certificate_store>> _siblings;
};

} // namespace velin
