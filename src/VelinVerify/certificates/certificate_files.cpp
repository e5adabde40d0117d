#include "VelinVerify/certificates/certificate_files.h"

#include "trust/crl_cache.h"

#include <span>

namespace velin {

Imported_certificate read_certificate_file(const std::string& path)
{
    Imported_certificate imported;
    std::vector<uint8_t> bytes;
    uint32_t error = 0;
    if (!read_list_file(path, bytes, error)) {
        imported.error = error;
        return imported;
    }
    const Queried_object object = query_object(bytes);
    switch (object.content) {
    case Object_content::Unknown:
        imported.error = Error_no_match;
        break;
    case Object_content::Certificate:
    case Object_content::Serialized_certificate:
        imported.outcome = Imported_certificate::Outcome::Certificate;
        if (!object.elements.empty())
            imported.certificate = Certificate(std::span<const uint8_t>(object.elements.front().content));
        break;
    case Object_content::Serialized_store:
    case Object_content::Pkcs7:
    case Object_content::Crl:
        imported.outcome = Imported_certificate::Outcome::Not_a_certificate;
        break;
    }
    return imported;
}

Export_certificate::Export_certificate(const Certificate_store& store, const Certificate& certificate)
{
    std::vector<uint8_t> bytes = store.serialize_element(certificate);
    if (bytes.empty()) {
        set_error("La serializzazione del certificato è fallita.");
        return;
    }
    set_value(std::move(bytes));
}

std::string proposed_export_name(const Certificate& certificate)
{
    return escape_cache_name(certificate.display_name() + ".crt");
}

} // namespace velin
