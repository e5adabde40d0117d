#include "trust/trusted_list_store.h"

#include "common/file_io.h"
#include "common/owner.h"
#include "common/trace.h"
#include "trust/european_list.h"
#include "trust/trusted_list_reader.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>

namespace velin {

namespace {

// The last character is the format's version: a cache of another one is read again from the XML.
constexpr char Cache_magic[8] = {'V', 'L', 'N', 'T', 'L', 'C', 'H', '3'};
constexpr size_t Cache_max_size = 64u * 1024 * 1024;

// Cache writing: little-endian integers, length-prefixed strings and byte blocks.
class Writer {
public:
    void u64(uint64_t value)
    {
        for (int i = 0; i < 8; ++i)
            bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
    void u32(size_t value) { u64(value); }
    void time(std::time_t value) { u64(static_cast<uint64_t>(value)); }
    void block(std::span<const uint8_t> data)
    {
        u64(data.size());
        bytes.insert(bytes.end(), data.begin(), data.end());
    }
    void text(const std::string& value) { block({reinterpret_cast<const uint8_t*>(value.data()), value.size()}); }
    void certificates(const std::vector<Certificate>& list)
    {
        u32(list.size());
        for (const Certificate& certificate : list)
            block(certificate.der());
    }
    void texts(const std::vector<std::string>& values)
    {
        u32(values.size());
        for (const std::string& value : values)
            text(value);
    }
    void criteria(const Qualification_criteria& criteria)
    {
        u64(static_cast<uint64_t>(criteria.assertion));
        u32(criteria.key_usages.size());
        for (const auto& bits : criteria.key_usages) {
            u32(bits.size());
            for (const auto& [name, value] : bits) {
                text(name);
                u64(value ? 1 : 0);
            }
        }
        for (const auto* sets : {&criteria.policy_sets, &criteria.subject_attributes, &criteria.extended_key_usages}) {
            u32(sets->size());
            for (const std::vector<std::string>& set : *sets)
                texts(set);
        }
        u32(criteria.nested.size());
        for (const Qualification_criteria& nested : criteria.nested)
            this->criteria(nested);
    }
    void period(const Service_period& period)
    {
        text(period.type);
        text(period.status);
        time(period.start);
        texts(period.additional_information);
        u32(period.qualifications.size());
        for (const Qualification_element& element : period.qualifications) {
            texts(element.qualifiers);
            criteria(element.criteria);
        }
    }
    void kept(const Kept_list& kept)
    {
        const Trusted_list& list = kept.list;
        text(kept.signer_thumbprint);
        u64(static_cast<uint64_t>(list.version));
        text(list.territory);
        text(list.operator_name);
        u64(list.sequence_number);
        time(list.issued);
        time(list.next_update);
        u32(list.pointers.size());
        for (const List_pointer& pointer : list.pointers) {
            text(pointer.territory);
            text(pointer.location);
            text(pointer.mime_type);
            certificates(pointer.certificates);
        }
        u32(list.services.size());
        for (const Trust_service& service : list.services) {
            text(service.provider);
            text(service.name);
            certificates(service.certificates);
            u32(service.identities.size());
            for (const Service_identity& identity : service.identities) {
                text(identity.subject_name);
                block(identity.key_identifier);
            }
            period(service.current);
            u32(service.history.size());
            for (const Service_period& entry : service.history)
                period(entry);
        }
    }

    std::vector<uint8_t> bytes;
};

// Cache reading: every length is checked against what is left, so damaged bytes end the reading
// instead of asking for memory they do not hold.
class Reader {
public:
    explicit Reader(std::span<const uint8_t> bytes) : _bytes(bytes) {}

    bool ok() const { return _ok; }
    bool at_end() const { return _at == _bytes.size(); }

    uint64_t u64()
    {
        if (!_ok || _bytes.size() - _at < 8) {
            _ok = false;
            return 0;
        }
        uint64_t value = 0;
        for (int i = 0; i < 8; ++i)
            value |= static_cast<uint64_t>(_bytes[_at + i]) << (8 * i);
        _at += 8;
        return value;
    }
    // A count of items that each take at least one byte.
    size_t count()
    {
        const uint64_t value = u64();
        if (value > _bytes.size() - _at)
            _ok = false;
        return _ok ? static_cast<size_t>(value) : 0;
    }
    std::time_t time() { return static_cast<std::time_t>(static_cast<int64_t>(u64())); }
    std::span<const uint8_t> block()
    {
        const size_t size = count();
        if (!_ok)
            return {};
        const std::span<const uint8_t> data = _bytes.subspan(_at, size);
        _at += size;
        return data;
    }
    std::string text()
    {
        const std::span<const uint8_t> data = block();
        return {reinterpret_cast<const char*>(data.data()), data.size()};
    }
    std::vector<Certificate> certificates()
    {
        std::vector<Certificate> list;
        const size_t n = count();
        for (size_t i = 0; i < n && _ok; ++i) {
            // Decoding every certificate would cost more than all the rest of the start-up: the
            // cache's checksum vouches for bytes that decoded when it was written.
            const std::span<const uint8_t> der = block();
            _ok = _ok && !der.empty();
            list.push_back(Certificate::deferred({der.begin(), der.end()}));
        }
        return list;
    }
    std::vector<std::string> texts()
    {
        std::vector<std::string> values;
        const size_t n = count();
        for (size_t i = 0; i < n && _ok; ++i)
            values.push_back(text());
        return values;
    }
    Qualification_criteria criteria(int depth)
    {
        Qualification_criteria criteria;
        const uint64_t assertion = u64();
        _ok = _ok && assertion <= static_cast<uint64_t>(Qualification_criteria::Assertion::Unknown) &&
              depth < Qualification_criteria_max_depth;
        criteria.assertion = static_cast<Qualification_criteria::Assertion>(assertion);
        const size_t usages = count();
        for (size_t i = 0; i < usages && _ok; ++i) {
            auto& bits = criteria.key_usages.emplace_back();
            const size_t n = count();
            for (size_t j = 0; j < n && _ok; ++j) {
                std::string name = text();
                bits.emplace_back(std::move(name), u64() != 0);
            }
        }
        for (auto* sets : {&criteria.policy_sets, &criteria.subject_attributes, &criteria.extended_key_usages}) {
            const size_t n = count();
            for (size_t i = 0; i < n && _ok; ++i)
                sets->push_back(texts());
        }
        const size_t nested = count();
        for (size_t i = 0; i < nested && _ok; ++i)
            criteria.nested.push_back(this->criteria(depth + 1));
        return criteria;
    }
    Service_period period()
    {
        Service_period period;
        period.type = text();
        period.status = text();
        period.start = time();
        period.additional_information = texts();
        const size_t n = count();
        for (size_t i = 0; i < n && _ok; ++i) {
            Qualification_element element;
            element.qualifiers = texts();
            element.criteria = criteria(0);
            period.qualifications.push_back(std::move(element));
        }
        return period;
    }
    Kept_list kept()
    {
        Kept_list kept;
        Trusted_list& list = kept.list;
        kept.signer_thumbprint = text();
        list.version = static_cast<int>(u64() & 0xFF);
        list.territory = text();
        list.operator_name = text();
        list.sequence_number = u64();
        list.issued = time();
        list.next_update = time();
        const size_t pointers = count();
        for (size_t i = 0; i < pointers && _ok; ++i) {
            List_pointer pointer;
            pointer.territory = text();
            pointer.location = text();
            pointer.mime_type = text();
            pointer.certificates = certificates();
            list.pointers.push_back(std::move(pointer));
        }
        const size_t services = count();
        for (size_t i = 0; i < services && _ok; ++i) {
            Trust_service service;
            service.provider = text();
            service.name = text();
            service.certificates = certificates();
            const size_t identities = count();
            for (size_t j = 0; j < identities && _ok; ++j) {
                Service_identity identity;
                identity.subject_name = text();
                const std::span<const uint8_t> key = block();
                identity.key_identifier.assign(key.begin(), key.end());
                service.identities.push_back(std::move(identity));
            }
            service.current = period();
            const size_t history = count();
            for (size_t j = 0; j < history && _ok; ++j)
                service.history.push_back(period());
            list.services.push_back(std::move(service));
        }
        return kept;
    }
    bool magic()
    {
        if (_bytes.size() < sizeof Cache_magic || std::memcmp(_bytes.data(), Cache_magic, sizeof Cache_magic) != 0)
            return _ok = false;
        _at = sizeof Cache_magic;
        return true;
    }

private:
    std::span<const uint8_t> _bytes;
    size_t _at = 0;
    bool _ok = true;
};

std::array<uint8_t, SHA256_DIGEST_LENGTH> checksum(std::span<const uint8_t> bytes)
{
    std::array<uint8_t, SHA256_DIGEST_LENGTH> sum{};
    SHA256(bytes.data(), bytes.size(), sum.data());
    return sum;
}

// The subject name's encoding inside a certificate's DER, found without decoding the certificate:
// TBSCertificate ::= SEQUENCE { [0] version OPTIONAL, serialNumber, signature, issuer, validity,
// subject, ... }. Empty when the bytes are not so.
std::span<const uint8_t> subject_name_der(std::span<const uint8_t> der)
{
    // One definite-length TLV at the start of bytes: its whole size and where its content starts.
    auto element = [](std::span<const uint8_t> bytes, size_t& header, size_t& total) {
        if (bytes.size() < 2 || (bytes[0] & 0x1F) == 0x1F)
            return false;
        size_t length = bytes[1];
        header = 2;
        if (length & 0x80) {
            const size_t count = length & 0x7F;
            if (count == 0 || count > 4 || bytes.size() < 2 + count)
                return false;
            length = 0;
            for (size_t i = 0; i < count; ++i)
                length = (length << 8) | bytes[2 + i];
            header += count;
        }
        if (length > bytes.size() - header)
            return false;
        total = header + length;
        return true;
    };
    size_t header = 0, total = 0;
    if (!element(der, header, total) || der[0] != 0x30)
        return {};
    std::span<const uint8_t> certificate = der.subspan(header, total - header);
    if (!element(certificate, header, total) || certificate[0] != 0x30)
        return {};
    std::span<const uint8_t> tbs = certificate.subspan(header, total - header);
    if (!tbs.empty() && tbs[0] == 0xA0) {
        if (!element(tbs, header, total))
            return {};
        tbs = tbs.subspan(total);
    }
    for (int skipped = 0; skipped < 4; ++skipped) { // serial, signature, issuer, validity
        if (!element(tbs, header, total))
            return {};
        tbs = tbs.subspan(total);
    }
    if (!element(tbs, header, total) || tbs[0] != 0x30)
        return {};
    return tbs.first(total);
}

std::string name_key(std::span<const uint8_t> der)
{
    return {reinterpret_cast<const char*>(der.data()), der.size()};
}

bool holds_thumbprint(const std::vector<Certificate>& certificates, const std::string& thumbprint)
{
    return std::any_of(certificates.begin(), certificates.end(),
                       [&](const Certificate& certificate) { return certificate.thumbprint() == thumbprint; });
}

std::string path_in(const std::string& folder, const std::string& name)
{
    return folder.empty() ? std::string() : folder + "/" + name;
}

// Lists of territories as the pointers name them: letters only, so a name never leaves the
// folder.
bool plain_territory(const std::string& territory)
{
    return !territory.empty() && territory.size() <= 8 && std::all_of(territory.begin(), territory.end(), [](char c) {
        return std::isalpha(static_cast<unsigned char>(c));
    });
}

void say(std::vector<List_load_line>& lines, bool warning, std::string text)
{
    Trace(Trace_kind, warning ? Level_warn : Level_error) << text;
    lines.push_back({warning, std::move(text)});
}

// The European list and the national lists from the kept XML files, verified anew.
std::optional<Cached_lists> verify_kept_files(const std::string& folder, const std::vector<Certificate>& eu_pins,
                                              std::vector<List_load_line>& lines)
{
    std::vector<uint8_t> bytes;
    int error = 0;
    if (!read_whole_file(european_list_path(folder), Trusted_list_max_size, bytes, error))
        return std::nullopt; // nothing was ever kept
    // The pivots kept with the list: what was walked at the refresh is walked again.
    const Pivot_source kept_pivots = [&folder](const std::string& address) -> std::optional<std::vector<uint8_t>> {
        std::vector<uint8_t> pivot;
        int code = 0;
        if (!read_whole_file(pivot_list_folder(folder) + "/" + pivot_file_name(address), Trusted_list_max_size, pivot,
                             code)) {
            Trace(Trace_kind, Level_warn) << "Lista pivot non conservata: " << address;
            return std::nullopt;
        }
        return pivot;
    };
    European_list_reading european = read_european_list(bytes, eu_pins, kept_pivots);
    for (const std::string& warning : european.warnings)
        Trace(Trace_kind, Level_warn) << warning; // told to the user at the refresh already
    if (!european.reading.verified) {
        say(lines, false, "La lista europea delle liste di fiducia non è stata usata: " + european.reading.failure);
        return std::nullopt;
    }
    Cached_lists lists;
    lists.european = {std::move(european.reading.list), european.reading.signer.thumbprint(),
                      european.anchor_thumbprint};
    for (const List_pointer& pointer : lists.european.list.pointers) {
        if (pointer.mime_type != tsl_uri::Tsl_mime_type || !plain_territory(pointer.territory))
            continue;
        bytes.clear();
        if (!read_whole_file(national_list_path(folder, pointer.territory), Trusted_list_max_size, bytes, error))
            continue;
        Trusted_list_reading national = read_trusted_list(bytes, pointer.certificates);
        if (national.verified && national.list.territory != pointer.territory)
            national = {false, "La lista di fiducia non è quella del territorio " + pointer.territory + ".", {}, {}};
        if (!national.verified) {
            say(lines, false, "La lista di fiducia " + pointer.territory + " non è stata usata: " + national.failure);
            continue;
        }
        lists.national.push_back({std::move(national.list), national.signer.thumbprint()});
    }
    return lists;
}

// The cache still stands for what the pins allow today: the chain to the European list still
// starts from a pin.
bool cache_matches_pins(const Cached_lists& cached, const std::vector<Certificate>& eu_pins)
{
    const Kept_list& european = cached.european;
    if (!holds_thumbprint(eu_pins,
                          european.anchor_thumbprint.empty() ? european.signer_thumbprint : european.anchor_thumbprint))
        return false;
    for (const Kept_list& national : cached.national) {
        const List_pointer* pointer = cached.european.list.pointer_to(national.list.territory);
        if (!pointer || !holds_thumbprint(pointer->certificates, national.signer_thumbprint))
            return false;
    }
    return true;
}

} // namespace

bool read_whole_file(const std::string& path, size_t limit, std::vector<uint8_t>& bytes, int& error)
{
    const Opened_file file = open_for_reading(path, O_NOFOLLOW);
    error = file.error;
    if (!file.descriptor || file.error != 0)
        return false;
    if (!S_ISREG(file.status.st_mode)) {
        error = S_ISDIR(file.status.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    const Read_end end = read_to_end(file.descriptor.get(), limit, bytes);
    error = end == Read_end::Complete ? 0 : end == Read_end::Too_large ? EFBIG : errno;
    return end == Read_end::Complete;
}

std::vector<Certificate> pem_certificates(const std::string& text)
{
    std::vector<Certificate> certificates;
    if (text.size() > static_cast<size_t>(INT_MAX))
        return certificates;
    Owner<BIO> input(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    while (input) {
        X509* raw = PEM_read_bio_X509(input.get(), nullptr, nullptr, nullptr);
        if (!raw)
            break;
        certificates.emplace_back(raw, true);
    }
    ERR_clear_error();
    return certificates;
}

std::vector<Certificate> eu_list_pins(const std::string& data_folder)
{
    std::vector<Certificate> pins = pem_certificates(eu_list_signers_pem);
    std::vector<uint8_t> bytes;
    int error = 0;
    if (!data_folder.empty() && read_whole_file(data_folder + "/data/eu-lotl-signers.pem", 1024 * 1024, bytes, error)) {
        const std::vector<Certificate> more = pem_certificates(std::string(bytes.begin(), bytes.end()));
        pins.insert(pins.end(), more.begin(), more.end());
    }
    return pins;
}

Trusted_lists::Trusted_lists(Kept_list european, std::vector<Kept_list> national)
    : _european(std::move(european)), _national(std::move(national))
{
    auto index = [this](const Trusted_list& list) {
        for (const Trust_service& service : list.services)
            for (const Certificate& certificate : service.certificates) {
                _by_thumbprint.emplace(certificate.thumbprint(), &service);
                if (service.current.type == tsl_uri::Service_ca_qc) {
                    _anchors.push_back(certificate);
                    _by_subject.emplace(name_key(subject_name_der(certificate.der())),
                                        std::pair(certificate, &service));
                }
            }
        for (const Trust_service& service : list.services)
            for (const Service_identity& identity : service.identities)
                _by_key_identifier.emplace(name_key(identity.key_identifier), std::pair(&service, &identity));
    };
    index(_european.list);
    for (const Kept_list& kept : _national)
        index(kept.list);
}

std::vector<const Trust_service*> Trusted_lists::services_of(const Certificate& certificate) const
{
    std::vector<const Trust_service*> services;
    if (!certificate.is_valid())
        return services;
    auto add = [&services](const Trust_service* service) {
        if (std::find(services.begin(), services.end(), service) == services.end())
            services.push_back(service);
    };
    const auto [first, last] = _by_thumbprint.equal_range(certificate.thumbprint());
    for (auto it = first; it != last; ++it)
        add(it->second);
    X509* x509 = certificate.raw_handle();
    if (!x509)
        return services;
    // A CA/QC certificate of the service made again with the same key under the same name.
    const auto [named, named_end] = _by_subject.equal_range(name_key(subject_name_der(certificate.der())));
    for (auto it = named; it != named_end; ++it) {
        X509* listed = it->second.first.raw_handle();
        if (listed && EVP_PKEY_eq(X509_get0_pubkey(listed), X509_get0_pubkey(x509)) == 1)
            add(it->second.second);
    }
    // A key the list names by its identifier (and name) only.
    if (!_by_key_identifier.empty())
        for (const std::vector<uint8_t>& identifier : key_identifiers_of(certificate)) {
            const auto [found, found_end] = _by_key_identifier.equal_range(name_key(identifier));
            for (auto it = found; it != found_end; ++it)
                if (identity_names(*it->second.second, certificate))
                    add(it->second.first);
        }
    return services;
}

const Trust_service* Trusted_lists::accredited_authority(const Certificate& certificate, std::time_t at) const
{
    for (const Trust_service* service : services_of(certificate)) {
        const Service_period* period = service->period_at(at);
        if (period && is_accredited_signature_authority(*period, at))
            return service;
    }
    return nullptr;
}

bool Trusted_lists::is_anchor(const Certificate& certificate) const
{
    const std::vector<const Trust_service*> services = services_of(certificate);
    return std::any_of(services.begin(), services.end(),
                       [](const Trust_service* service) { return service->current.type == tsl_uri::Service_ca_qc; });
}

std::vector<Certificate> Trusted_lists::anchor_certificates() const
{
    return _anchors;
}

std::vector<Certificate> Trusted_lists::issuer_candidates(const Certificate& subject) const
{
    std::vector<Certificate> candidates;
    if (!subject.is_valid() || !subject.raw_handle())
        return candidates;
    // The issuer name as the subject encodes it; an authority that encodes the same name
    // differently is found by comparing the names as OpenSSL does, which decodes the anchors.
    unsigned char* encoded = nullptr;
    const int size = i2d_X509_NAME(subject.issuer_name(), &encoded);
    const Owner<unsigned char, Openssl_free> owned(encoded);
    if (size > 0) {
        const auto [first, last] = _by_subject.equal_range(name_key({encoded, static_cast<size_t>(size)}));
        for (auto it = first; it != last; ++it)
            candidates.push_back(it->second.first);
    }
    if (!candidates.empty())
        return candidates;
    for (const Certificate& anchor : _anchors)
        if (anchor.raw_handle() && X509_NAME_cmp(anchor.subject_name(), subject.issuer_name()) == 0)
            candidates.push_back(anchor);
    return candidates;
}

bool Trusted_lists::is_trusted_time_stamping_authority(const Certificate& certificate, std::time_t at) const
{
    if (!certificate.is_valid() || !certificate.raw_handle())
        return false;
    for (const Trust_service* service : services_of(certificate)) {
        const Service_period* period = service->period_at(at);
        if (period && is_trusted_time_stamping(*period, at))
            return true;
    }
    for (const auto& [thumbprint, service] : _by_thumbprint) {
        const Service_period* period = service->period_at(at);
        if (!period || !is_trusted_time_stamping(*period, at))
            continue;
        for (const Certificate& unit : service->certificates) {
            if (unit.thumbprint() != thumbprint || !unit.raw_handle())
                continue;
            if (unit == certificate)
                return true;
            if (X509_NAME_cmp(certificate.issuer_name(), unit.subject_name()) == 0 && certificate.is_signed_by(unit))
                return true;
        }
    }
    return false;
}

std::string trusted_list_folder()
{
    if (const char* data_home = std::getenv("XDG_DATA_HOME"); data_home && *data_home == '/')
        return std::string(data_home) + "/velin-manager/trusted-lists";
    if (const char* home = std::getenv("HOME"); home && *home == '/')
        return std::string(home) + "/.local/share/velin-manager/trusted-lists";
    return {};
}

std::string european_list_path(const std::string& folder)
{
    return path_in(folder, "eu-lotl.xml");
}

std::string national_list_path(const std::string& folder, const std::string& territory)
{
    return path_in(folder, "TSL-" + territory + ".xml");
}

std::string pivot_list_folder(const std::string& folder)
{
    return path_in(folder, "pivot");
}

std::string trusted_list_cache_path(const std::string& folder)
{
    return path_in(folder, "liste.cache");
}

std::vector<uint8_t> write_trusted_list_cache(const Kept_list& european, const std::vector<Kept_list>& national)
{
    Writer writer;
    writer.bytes.assign(std::begin(Cache_magic), std::end(Cache_magic));
    writer.kept(european);
    writer.u32(national.size());
    for (const Kept_list& kept : national)
        writer.kept(kept);
    writer.text(european.anchor_thumbprint);
    const std::array<uint8_t, SHA256_DIGEST_LENGTH> sum = checksum(writer.bytes);
    writer.bytes.insert(writer.bytes.end(), sum.begin(), sum.end());
    return std::move(writer.bytes);
}

std::optional<Cached_lists> read_trusted_list_cache(std::span<const uint8_t> whole)
{
    // A cache cut short or damaged on disk is never read as lists.
    if (whole.size() < SHA256_DIGEST_LENGTH)
        return std::nullopt;
    const std::span<const uint8_t> bytes = whole.first(whole.size() - SHA256_DIGEST_LENGTH);
    const std::array<uint8_t, SHA256_DIGEST_LENGTH> sum = checksum(bytes);
    if (!std::equal(sum.begin(), sum.end(), whole.end() - SHA256_DIGEST_LENGTH))
        return std::nullopt;
    Reader reader(bytes);
    if (!reader.magic())
        return std::nullopt;
    Cached_lists lists;
    lists.european = reader.kept();
    const size_t national = reader.count();
    for (size_t i = 0; i < national && reader.ok(); ++i)
        lists.national.push_back(reader.kept());
    // Written last, and absent from caches made before pivots were followed: their European list
    // was signed by a pin.
    if (reader.ok() && !reader.at_end())
        lists.european.anchor_thumbprint = reader.text();
    if (!reader.ok() || !reader.at_end())
        return std::nullopt;
    return lists;
}

std::string list_name(const Trusted_list& list)
{
    return list.territory == "EU" ? "La lista europea delle liste di fiducia" : "La lista di fiducia " + list.territory;
}

std::string past_next_update_text(const Trusted_list& list)
{
    return list_name(list) + " doveva essere aggiornata entro il " + list_time_text(list.next_update) +
           ": è usata comunque, ma va aggiornata al più presto.";
}

std::shared_ptr<const Trusted_lists> load_trusted_lists(const std::string& folder,
                                                        const std::vector<Certificate>& eu_pins, std::time_t now,
                                                        std::vector<List_load_line>& lines)
{
    if (folder.empty())
        return nullptr;
    std::optional<Cached_lists> lists;
    std::vector<uint8_t> bytes;
    int error = 0;
    if (read_whole_file(trusted_list_cache_path(folder), Cache_max_size, bytes, error)) {
        lists = read_trusted_list_cache(bytes);
        if (lists && !cache_matches_pins(*lists, eu_pins)) {
            Trace(Trace_kind, Level_info) << "Cache delle liste di fiducia firmata da certificati non più attesi.";
            lists.reset();
        }
    }
    if (!lists) {
        lists = verify_kept_files(folder, eu_pins, lines);
        if (!lists)
            return nullptr;
        const std::vector<uint8_t> cache = write_trusted_list_cache(lists->european, lists->national);
        if (replace_file(trusted_list_cache_path(folder), std::span<const uint8_t>(cache), 0600) != 0)
            Trace(Trace_kind, Level_warn) << "Scrittura della cache delle liste di fiducia fallita.";
    }
    auto past = [&](const Trusted_list& list) {
        if (list.next_update != 0 && list.next_update < now)
            say(lines, true, past_next_update_text(list));
    };
    past(lists->european.list);
    for (const Kept_list& national : lists->national)
        past(national.list);
    return std::make_shared<const Trusted_lists>(std::move(lists->european), std::move(lists->national));
}

} // namespace velin
