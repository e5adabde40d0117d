#include "trust/certificate_store.h"

#include "common/failure.h"
#include "common/file_io.h"
#include "common/openssl_encoding.h"
#include "common/owner.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace velin {

namespace {

constexpr uint32_t Error_not_enough_memory = 8;
constexpr uint32_t Error_invalid_data = 13;

void append_utf8(std::string& out, uint32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// The friendly name property: UTF-16LE up to its terminating zero.
std::string utf8_of_utf16le(const std::vector<uint8_t>& bytes)
{
    std::string out;
    const size_t units = bytes.size() / 2;
    for (size_t i = 0; i < units; ++i) {
        uint32_t unit = bytes[2 * i] | static_cast<uint32_t>(bytes[2 * i + 1]) << 8;
        if (unit == 0)
            break;
        if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < units) {
            const uint32_t low = bytes[2 * i + 2] | static_cast<uint32_t>(bytes[2 * i + 3]) << 8;
            if (low >= 0xDC00 && low < 0xE000) {
                append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        if (unit >= 0xD800 && unit < 0xE000)
            unit = 0xFFFD;
        append_utf8(out, unit);
    }
    return out;
}

Serialized_element element_of(uint32_t kind, std::vector<uint8_t> content)
{
    Serialized_element element;
    element.kind = kind;
    element.content = std::move(content);
    return element;
}

bool is_crl_der(std::span<const uint8_t> bytes)
{
    if (bytes.empty() || bytes.size() > static_cast<size_t>(LONG_MAX))
        return false;
    const unsigned char* in = bytes.data();
    Owner<X509_CRL> list(d2i_X509_CRL(nullptr, &in, static_cast<long>(bytes.size())));
    return list && in == bytes.data() + bytes.size();
}

// The certificates and CRLs of a PKCS#7 SignedData (a bare "certificates only" message too).
bool pkcs7_elements(std::span<const uint8_t> der, std::vector<Serialized_element>& elements)
{
    if (der.empty() || der.size() > static_cast<size_t>(LONG_MAX))
        return false;
    const unsigned char* in = der.data();
    Owner<PKCS7> message(d2i_PKCS7(nullptr, &in, static_cast<long>(der.size())));
    if (!message || in != der.data() + der.size() || !PKCS7_type_is_signed(message.get()) || !message->d.sign)
        return false;
    STACK_OF(X509)* certificates = message->d.sign->cert;
    for (int i = 0; i < sk_X509_num(certificates); ++i) {
        std::vector<uint8_t> bytes = der_encoding(sk_X509_value(certificates, i), i2d_X509);
        if (bytes.empty())
            return false;
        elements.push_back(element_of(Element_certificate, std::move(bytes)));
    }
    STACK_OF(X509_CRL)* lists = message->d.sign->crl;
    for (int i = 0; i < sk_X509_CRL_num(lists); ++i) {
        std::vector<uint8_t> bytes = der_encoding(sk_X509_CRL_value(lists, i), i2d_X509_CRL);
        if (bytes.empty())
            return false;
        elements.push_back(element_of(Element_crl, std::move(bytes)));
    }
    return true;
}

// PEM text: every block must decode. The first block decides the kind; later blocks must be
// certificates when the first one is.
Queried_object query_pem(std::span<const uint8_t> bytes)
{
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (text.find("-----BEGIN ") == std::string_view::npos || bytes.size() > INT_MAX)
        return {};
    Owner<BIO> input(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    if (!input)
        return {};
    Queried_object result;
    for (;;) {
        char* raw_name = nullptr;
        char* raw_header = nullptr;
        unsigned char* raw_data = nullptr;
        long length = 0;
        const int read = PEM_read_bio(input.get(), &raw_name, &raw_header, &raw_data, &length);
        const Owner<char, Openssl_free> name(raw_name);
        const Owner<char, Openssl_free> header(raw_header);
        const Owner<unsigned char, Openssl_free> data(raw_data);
        if (read != 1)
            break;
        const std::string block_name = name.get();
        std::vector<uint8_t> der(data.get(), data.get() + length);
        const bool certificate = block_name == "CERTIFICATE" || block_name == "X509 CERTIFICATE";
        if (result.content == Object_content::Unknown) {
            if (certificate && decode_certificate(der)) {
                result.content = Object_content::Certificate;
                result.elements.push_back(element_of(Element_certificate, std::move(der)));
            } else if (block_name == "X509 CRL" && is_crl_der(der)) {
                result.content = Object_content::Crl;
                result.elements.push_back(element_of(Element_crl, std::move(der)));
            } else if (block_name == "PKCS7" && pkcs7_elements(der, result.elements)) {
                result.content = Object_content::Pkcs7;
            } else {
                return {};
            }
        } else if (result.content == Object_content::Certificate && certificate && decode_certificate(der)) {
            result.elements.push_back(element_of(Element_certificate, std::move(der)));
        } else {
            return {};
        }
    }
    return result;
}

Queried_object query(std::span<const uint8_t> bytes)
{
    Queried_object result;
    if (bytes.empty())
        return result;
    if (has_serialized_store_header(bytes)) {
        if (auto elements = parse_serialized_store(bytes)) {
            result.content = Object_content::Serialized_store;
            result.elements = std::move(*elements);
        }
        return result;
    }
    if (auto element = parse_serialized_element(bytes)) {
        if (element->kind == Element_certificate) {
            result.content = Object_content::Serialized_certificate;
            result.elements.push_back(std::move(*element));
        }
        return result;
    }
    if (decode_certificate(bytes)) {
        result.content = Object_content::Certificate;
        result.elements.push_back(element_of(Element_certificate, {bytes.begin(), bytes.end()}));
        return result;
    }
    if (is_crl_der(bytes)) {
        result.content = Object_content::Crl;
        result.elements.push_back(element_of(Element_crl, {bytes.begin(), bytes.end()}));
        return result;
    }
    if (pkcs7_elements(bytes, result.elements)) {
        result.content = Object_content::Pkcs7;
        return result;
    }
    return query_pem(bytes);
}

bool read_whole_file(const std::string& path, std::vector<uint8_t>& bytes, uint32_t& error)
{
    Opened_file file = open_for_reading(path);
    if (file.error != 0) {
        error = error_code_from_errno(file.error);
        return false;
    }
    if (!S_ISREG(file.status.st_mode)) {
        error = Error_invalid_data;
        return false;
    }
    if (static_cast<uint64_t>(file.status.st_size) > Store_file_max_size) {
        error = Error_not_enough_memory;
        return false;
    }
    bytes.clear();
    switch (read_to_end(file.descriptor.get(), Store_file_max_size, bytes)) {
    case Read_end::Complete:
        return true;
    case Read_end::Too_large:
        error = Error_not_enough_memory;
        return false;
    case Read_end::Failed:
        error = error_code_from_errno(errno);
        return false;
    }
    return false;
}

} // namespace

bool read_list_file(const std::string& path, std::vector<uint8_t>& bytes, uint32_t& error)
{
    if (path.empty()) {
        error = 2;
        return false;
    }
    return read_whole_file(path, bytes, error);
}

Queried_object query_object(std::span<const uint8_t> bytes)
{
    Queried_object result = query(bytes);
    ERR_clear_error();
    return result;
}

Certificate_store::Entry_pointer Certificate_store::make_entry(Serialized_element element)
{
    auto entry = std::make_shared<Entry>();
    if (element.kind == Element_certificate) {
        entry->certificate = Certificate(std::span<const uint8_t>(element.content));
        if (!entry->certificate.is_valid())
            return nullptr;
        for (const Store_property& property : element.properties)
            if (property.id == Property_friendly_name) {
                std::string name = utf8_of_utf16le(property.value);
                if (!name.empty())
                    entry->certificate.set_friendly_name(std::move(name));
            }
    } else if (element.kind == Element_crl) {
        if (!is_crl_der(element.content))
            return nullptr;
        entry->crl = Certificate_revocation_list(std::span<const uint8_t>(element.content));
        if (!entry->crl.is_valid())
            return nullptr;
    }
    entry->element = std::move(element);
    return entry;
}

std::shared_ptr<Certificate_store> Certificate_store::create_memory()
{
    return std::shared_ptr<Certificate_store>(new Certificate_store(false));
}

std::shared_ptr<Certificate_store> Certificate_store::create_collection()
{
    return std::shared_ptr<Certificate_store>(new Certificate_store(true));
}

std::shared_ptr<Certificate_store> Certificate_store::from_bytes(std::span<const uint8_t> bytes)
{
    Queried_object object = query_object(bytes);
    if (object.content == Object_content::Unknown)
        return nullptr;
    std::shared_ptr<Certificate_store> store = create_memory();
    for (Serialized_element& element : object.elements) {
        Entry_pointer entry = make_entry(std::move(element));
        ERR_clear_error();
        if (!entry)
            return nullptr;
        store->_entries.push_back(std::move(entry));
    }
    return store;
}

std::shared_ptr<Certificate_store> Certificate_store::open_file(const std::string& path, uint32_t* error)
{
    uint32_t code = 0;
    std::vector<uint8_t> bytes;
    std::shared_ptr<Certificate_store> store;
    if (read_list_file(path, bytes, code)) {
        store = from_bytes(bytes);
        if (!store)
            code = Error_invalid_data;
    }
    if (error)
        *error = store ? 0 : code;
    return store;
}

std::vector<Certificate_store::Entry_pointer> Certificate_store::entries_snapshot() const
{
    std::vector<std::shared_ptr<Certificate_store>> siblings;
    {
        std::lock_guard<std::mutex> guard(_lock);
        if (!_collection)
            return _entries;
        siblings = _siblings;
    }
    std::vector<Entry_pointer> entries;
    for (const auto& sibling : siblings) {
        std::vector<Entry_pointer> more = sibling->entries_snapshot();
        entries.insert(entries.end(), more.begin(), more.end());
    }
    return entries;
}

std::vector<Certificate> Certificate_store::certificates() const
{
    std::vector<Certificate> result;
    for (const Entry_pointer& entry : entries_snapshot())
        if (entry->certificate.is_valid())
            result.push_back(entry->certificate);
    return result;
}

std::vector<Certificate_revocation_list> Certificate_store::crls() const
{
    std::vector<Certificate_revocation_list> result;
    for (const Entry_pointer& entry : entries_snapshot())
        if (entry->crl.is_valid())
            result.push_back(entry->crl);
    return result;
}

size_t Certificate_store::size() const
{
    return certificates().size();
}

bool Certificate_store::contains(const Certificate& certificate) const
{
    if (!certificate.is_valid())
        return false;
    for (const Entry_pointer& entry : entries_snapshot())
        if (entry->certificate.is_valid() && entry->certificate == certificate)
            return true;
    return false;
}

std::vector<Certificate> Certificate_store::find_by_subject(const X509_NAME* name) const
{
    std::vector<Certificate> result;
    if (!name)
        return result;
    for (const Entry_pointer& entry : entries_snapshot())
        if (entry->certificate.is_valid() && X509_NAME_cmp(entry->certificate.subject_name(), name) == 0)
            result.push_back(entry->certificate);
    return result;
}

bool Certificate_store::add_certificate(const Certificate& certificate)
{
    if (_collection || !certificate.is_valid())
        return false;
    auto entry = std::make_shared<Entry>();
    entry->element = element_of(Element_certificate, certificate.der());
    entry->certificate = Certificate(std::span<const uint8_t>(certificate.der()));
    std::lock_guard<std::mutex> guard(_lock);
    for (Entry_pointer& existing : _entries)
        if (existing->certificate.is_valid() && existing->certificate == certificate) {
            existing = std::move(entry);
            return true;
        }
    _entries.push_back(std::move(entry));
    return true;
}

bool Certificate_store::delete_certificate(const Certificate& certificate)
{
    if (_collection || !certificate.is_valid())
        return false;
    std::lock_guard<std::mutex> guard(_lock);
    const auto found = std::find_if(_entries.begin(), _entries.end(), [&](const Entry_pointer& entry) {
        return entry->certificate.is_valid() && entry->certificate == certificate;
    });
    if (found == _entries.end())
        return false;
    _entries.erase(found);
    return true;
}

bool Certificate_store::add_sibling(std::shared_ptr<Certificate_store> sibling)
{
    if (!_collection || !sibling || sibling.get() == this || sibling->_collection)
        return false;
    std::lock_guard<std::mutex> guard(_lock);
    _siblings.push_back(std::move(sibling));
    return true;
}

std::vector<uint8_t> Certificate_store::serialize() const
{
    std::vector<Serialized_element> elements;
    for (const Entry_pointer& entry : entries_snapshot())
        elements.push_back(entry->element);
    return write_serialized_store(elements);
}

std::vector<uint8_t> Certificate_store::serialize_element(const Certificate& certificate) const
{
    if (!certificate.is_valid())
        return {};
    for (const Entry_pointer& entry : entries_snapshot())
        if (entry->certificate.is_valid() && entry->certificate == certificate)
            return write_serialized_element(entry->element);
    return {};
}

bool Certificate_store::save_file(const std::string& path, uint32_t* error) const
{
    auto fail = [&](uint32_t code) {
        if (error)
            *error = code;
        return false;
    };
    if (path.empty())
        return fail(3);
    const std::vector<uint8_t> bytes = serialize();
    struct stat existing {};
    const mode_t mode = ::stat(path.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : 0644;
    if (const int failure = replace_file(path, bytes, mode))
        return fail(error_code_from_errno(failure));
    if (error)
        *error = 0;
    return true;
}

} // namespace velin
