#include "VelinVerify/report/etsi_report.h"

#include "VelinVerify/report/report_file.h"
#include "envelope/xml_tree.h"

#include <QByteArray>
#include <QUrl>

#include <libxml/tree.h>

#include <set>

namespace velin {

namespace {

constexpr const char* Dsig_namespace = "http://www.w3.org/2000/09/xmldsig#";
constexpr const char* Sha256_uri = "http://www.w3.org/2001/04/xmlenc#sha256";
constexpr const char* Certificate_type = "urn:etsi:019102:validationObject:certificate";
constexpr const char* Crl_type = "urn:etsi:019102:validationObject:CRL";
constexpr const char* Ocsp_type = "urn:etsi:019102:validationObject:OCSPResponse";
constexpr const char* Timestamp_type = "urn:etsi:019102:validationObject:timestamp";
constexpr const char* Signed_data_type = "urn:etsi:019102:validationObject:signedData";
// The best signature time: a time stamp's, else the time of the verification.
constexpr const char* Poe_validation = "urn:etsi:019102:poetype:validation";
constexpr const char* Poe_provided = "urn:etsi:019102:poetype:provided";

const xmlChar* x(const char* text)
{
    return reinterpret_cast<const xmlChar*>(text);
}

std::string xml_time(std::time_t time)
{
    std::tm fields{};
    gmtime_r(&time, &fields);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &fields);
    return text;
}

// Text as printable_text makes it, without the two noncharacters XML does not allow either.
std::string xml_text(const std::string& text)
{
    std::string result = printable_text(text);
    for (const char* forbidden : {"\xEF\xBF\xBE", "\xEF\xBF\xBF"})
        for (size_t at = result.find(forbidden); at != std::string::npos; at = result.find(forbidden, at))
            result.replace(at, 3, "\xEF\xBF\xBD");
    return result;
}

// A validation object: its id is its kind's letter and its SHA-256, so that it is listed once
// however many signatures refer to it.
struct Validation_object {
    std::string id;
    const char* type = Certificate_type;
    std::vector<uint8_t> sha256;
};

// The attribute of the signature that a time stamp of this scope is.
const char* timestamp_attribute(Timestamp_scope scope)
{
    switch (scope) {
    case Timestamp_scope::Signature:
        return "SignatureTimeStamp";
    case Timestamp_scope::Content:
        return "AllDataObjectsTimeStamp";
    case Timestamp_scope::Archive:
        return "ArchiveTimeStamp";
    case Timestamp_scope::References:
        return "RefsOnlyTimeStamp";
    case Timestamp_scope::Document:
        break;
    }
    return "DocTimeStamp";
}

struct Signed_file {
    std::string id;
    const Report_container_file* file = nullptr;
};

class Writer {
public:
    explicit Writer(const Report_facts& facts) : _facts(facts)
    {
        _document.reset(xmlNewDoc(x("1.0")));
        _root = xmlNewDocNode(_document.get(), nullptr, x("ValidationReport"), nullptr);
        xmlDocSetRootElement(_document.get(), _root);
        _vr = xmlNewNs(_root, x(Etsi_report_namespace), x("vr"));
        _ds = xmlNewNs(_root, x(Dsig_namespace), x("ds"));
        xmlSetNs(_root, _vr);
    }

    // signed_files: the files of a container the signature covers, each with its validation
    // object's id.
    void signature(const Signature_display& shown, const Report_signer& signer,
                   const std::optional<std::string>& judged_at, const std::vector<Report_timestamp>& timestamps,
                   const std::vector<Signed_file>& signed_files)
    {
        xmlNode* report = element(_root, "SignatureValidationReport");
        // The time stamp whose time the signature was judged at is its proof of existence.
        const Report_timestamp* proof = signer.proof_timestamp && *signer.proof_timestamp < timestamps.size()
                                            ? &timestamps[*signer.proof_timestamp]
                                            : nullptr;
        time_info(report, judged_at, proof && judged_at ? timestamp_reference(*proof) : std::string());
        signers_document(report, signed_files);
        signature_attributes(report, signer, timestamps);
        signer_information(report, signer.certificate, shown.signer);
        status(report, signer.indication, signer.certificate, signer.chain, signer.chain_complete,
               signer.revocation_details);
    }

    void timestamp(const Batch_timestamp& shown, const Report_timestamp& timestamp)
    {
        xmlNode* report = element(_root, "SignatureValidationReport");
        xmlNode* time = element(report, "ValidationTimeInfo");
        text(time, "ValidationTime", xml_time(_facts.verified_at));
        xmlNode* best = element(time, "BestSignatureTime");
        text(best, "POETime", shown.time ? *shown.time : xml_time(_facts.verified_at));
        text(best, "TypeOfProof", shown.time ? Poe_provided : Poe_validation);
        signer_information(report, timestamp.authority, shown.authority);
        status(report, timestamp.indication, timestamp.authority, {}, false, timestamp.revocation);
    }

    // A file in which no signature could be read.
    void unreadable()
    {
        xmlNode* report = element(_root, "SignatureValidationReport");
        time_info(report, std::nullopt);
        status(report, {Report_indication::Main::Total_failed, "FORMAT_FAILURE"}, std::nullopt, {}, false, {});
    }

    std::string finish()
    {
        if (!_objects.empty() || !_data_objects.empty()) {
            xmlNode* list = element(_root, "SignatureValidationObjects");
            for (const Validation_object& listed : _objects) {
                xmlNode* object = element(list, "ValidationObject");
                xmlSetProp(object, x("id"), x(listed.id.c_str()));
                text(object, "ObjectType", listed.type);
                digest(element(object, "ValidationObjectRepresentation"), listed.sha256);
            }
            for (const Signed_file& file : _data_objects) {
                xmlNode* object = element(list, "ValidationObject");
                xmlSetProp(object, x("id"), x(file.id.c_str()));
                text(object, "ObjectType", Signed_data_type);
                xmlNode* representation = element(object, "ValidationObjectRepresentation");
                // The file's name inside the container, as a relative reference.
                text(representation, "URI",
                     QUrl::toPercentEncoding(QString::fromStdString(xml_text(file.file->name)), "/").toStdString());
                if (!file.file->sha256.empty())
                    digest(representation, file.file->sha256);
            }
        }
        xmlChar* bytes = nullptr;
        int size = 0;
        xmlDocDumpFormatMemoryEnc(_document.get(), &bytes, &size, "UTF-8", 1);
        std::string result(reinterpret_cast<const char*>(bytes), bytes ? static_cast<size_t>(size) : 0);
        xmlFree(bytes);
        return result;
    }

private:
    xmlNode* element(xmlNode* parent, const char* name) { return xmlNewChild(parent, _vr, x(name), nullptr); }
    xmlNode* text(xmlNode* parent, const char* name, const std::string& value)
    {
        // xmlNewTextChild escapes what it is given.
        return xmlNewTextChild(parent, _vr, x(name), x(value.c_str()));
    }

    void digest(xmlNode* parent, const std::vector<uint8_t>& sha256)
    {
        xmlNode* value = element(parent, "DigestAlgAndValue");
        xmlNode* method = xmlNewChild(value, _ds, x("DigestMethod"), nullptr);
        xmlSetProp(method, x("Algorithm"), x(Sha256_uri));
        const QByteArray base64 =
            QByteArray(reinterpret_cast<const char*>(sha256.data()), static_cast<qsizetype>(sha256.size())).toBase64();
        xmlNewTextChild(value, _ds, x("DigestValue"), x(base64.constData()));
    }

    void time_info(xmlNode* report, const std::optional<std::string>& judged_at, const std::string& proof = {})
    {
        xmlNode* time = element(report, "ValidationTimeInfo");
        text(time, "ValidationTime", xml_time(_facts.verified_at));
        xmlNode* best = element(time, "BestSignatureTime");
        text(best, "POETime", judged_at ? *judged_at : xml_time(_facts.verified_at));
        text(best, "TypeOfProof", judged_at ? Poe_provided : Poe_validation);
        if (!proof.empty())
            xmlSetProp(element(best, "POEObject"), x("VOReference"), x(proof.c_str()));
    }

    // The signing time the signer wrote and the time stamps that cover the signature.
    void signature_attributes(xmlNode* report, const Report_signer& signer,
                              const std::vector<Report_timestamp>& timestamps)
    {
        std::vector<const Report_timestamp*> covering;
        for (const size_t n : signer.timestamps)
            if (n < timestamps.size() && timestamps[n].time && !timestamps[n].sha256.empty())
                covering.push_back(&timestamps[n]);
        if (!signer.signing_time && covering.empty())
            return;
        xmlNode* attributes = element(report, "SignatureAttributes");
        if (signer.signing_time) {
            xmlNode* signing_time = element(attributes, "SigningTime");
            xmlSetProp(signing_time, x("Signed"), x("true"));
            text(signing_time, "Time", xml_time(*signer.signing_time));
        }
        for (const Report_timestamp* timestamp : covering) {
            xmlNode* attribute = element(attributes, timestamp_attribute(timestamp->scope));
            xmlSetProp(element(attribute, "AttributeObject"), x("VOReference"),
                       x(timestamp_reference(*timestamp).c_str()));
            text(attribute, "TimeStampValue", xml_time(*timestamp->time));
        }
    }

    // The reference of an object, listed among the objects the first time.
    std::string listed(const char* prefix, const char* type, const std::vector<uint8_t>& sha256)
    {
        std::string id = prefix + digest_hex(sha256);
        if (_listed.insert(id).second)
            _objects.push_back({id, type, sha256});
        return id;
    }

    // What the signature signed: the container's files it covers, each a validation object.
    void signers_document(xmlNode* report, const std::vector<Signed_file>& signed_files)
    {
        if (signed_files.empty())
            return;
        std::string references;
        for (const Signed_file& file : signed_files) {
            references += (references.empty() ? "" : " ") + file.id;
            if (_listed.insert(file.id).second)
                _data_objects.push_back(file);
        }
        xmlNode* document = element(report, "SignersDocument");
        xmlSetProp(element(document, "SignersDocumentRepresentation"), x("VOReference"), x(references.c_str()));
    }

    std::string reference(const Report_certificate& certificate)
    {
        return listed("C-", Certificate_type, certificate.sha256);
    }
    std::string timestamp_reference(const Report_timestamp& timestamp)
    {
        return timestamp.sha256.empty() ? std::string() : listed("T-", Timestamp_type, timestamp.sha256);
    }
    // The answer or list that decided a revocation check; empty when none did.
    std::string revocation_reference(const Report_revocation& revocation)
    {
        if (revocation.sha256.empty())
            return {};
        return revocation.source == Revocation_source::Ocsp  ? listed("O-", Ocsp_type, revocation.sha256)
               : revocation.source == Revocation_source::Crl ? listed("R-", Crl_type, revocation.sha256)
                                                             : std::string();
    }

    void signer_information(xmlNode* report, const std::optional<Report_certificate>& certificate,
                            const std::string& name)
    {
        if (!certificate)
            return;
        xmlNode* information = element(report, "SignerInformation");
        xmlNode* reference_node = element(information, "SignerCertificate");
        xmlSetProp(reference_node, x("VOReference"), x(reference(*certificate).c_str()));
        // What --batch prints: invalid UTF-8 and control characters replaced, so the document
        // stays well formed whatever a certificate holds.
        text(information, "Signer", xml_text(name.empty() ? certificate->subject : name));
    }

    void status(xmlNode* report, const Report_indication& indication,
                const std::optional<Report_certificate>& certificate, const std::vector<Report_certificate>& chain,
                bool complete, const Report_revocation& revocation)
    {
        xmlNode* status_node = element(report, "SignatureValidationStatus");
        text(status_node, "MainIndication", main_indication_uri(indication.main));
        if (!indication.sub.empty())
            text(status_node, "SubIndication", sub_indication_uri(indication.sub));
        if (!certificate)
            return;
        xmlNode* data = element(status_node, "AssociatedValidationReportData");
        xmlNode* path = element(data, "CertificateChain");
        xmlSetProp(element(path, "SigningCertificate"), x("VOReference"), x(reference(*certificate).c_str()));
        for (size_t i = 0; i < chain.size(); ++i) {
            const bool anchor = complete && i + 1 == chain.size();
            xmlSetProp(element(path, anchor ? "TrustAnchor" : "IntermediateCertificate"), x("VOReference"),
                       x(reference(chain[i]).c_str()));
        }
        revocation_data(data, *certificate, revocation);
    }

    // The answer or list the certificate's revocation check rested on and, for a certificate it
    // names as revoked, when.
    void revocation_data(xmlNode* data, const Report_certificate& certificate, const Report_revocation& revocation)
    {
        const std::string used = revocation_reference(revocation);
        if (!used.empty())
            xmlSetProp(element(data, "RelatedValidationObject"), x("VOReference"), x(used.c_str()));
        if (!revocation.revoked || !revocation.revoked_at)
            return;
        xmlNode* information = element(data, "RevocationStatusInformation");
        xmlSetProp(element(information, "ValidationObjectId"), x("VOReference"), x(reference(certificate).c_str()));
        text(information, "RevocationTime", xml_time(*revocation.revoked_at));
        if (!used.empty())
            xmlSetProp(element(information, "RevocationObject"), x("VOReference"), x(used.c_str()));
    }

    const Report_facts& _facts;
    Xml_document _document;
    xmlNode* _root = nullptr;
    xmlNs* _vr = nullptr;
    xmlNs* _ds = nullptr;
    std::set<std::string> _listed;
    std::vector<Validation_object> _objects;
    std::vector<Signed_file> _data_objects;
};

// The files of a container layer signature i covers, with their ids ("D-" layer "-" file, from 1).
std::vector<Signed_file> signed_files(const Batch_layer& layer, const Report_layer_facts& known, size_t n, size_t i)
{
    std::vector<Signed_file> files;
    if (!layer.container_files || i >= layer.covers.size())
        return files;
    for (const std::string& name : layer.covers[i])
        for (size_t f = 0; f < known.container_files.size(); ++f)
            if (known.container_files[f].name == name) {
                files.push_back(
                    {"D-" + std::to_string(n + 1) + "-" + std::to_string(f + 1), &known.container_files[f]});
                break;
            }
    return files;
}

} // namespace

std::string main_indication_uri(Report_indication::Main main)
{
    return std::string("urn:etsi:019102:mainindication:") + main_indication_name(main);
}

std::string sub_indication_uri(const std::string& sub)
{
    return "urn:etsi:019102:subindication:" + sub;
}

std::string etsi_validation_report(const Batch_report& report, const Report_facts& facts)
{
    Writer writer(facts);
    bool any = false;
    for (size_t n = 0; n < report.layers.size() && n < facts.layers.size(); ++n) {
        const Batch_layer& layer = report.layers[n];
        const Report_layer_facts& known = facts.layers[n];
        for (size_t i = 0; i < layer.signatures.size() && i < known.signers.size(); ++i) {
            writer.signature(layer.signatures[i], known.signers[i],
                             i < layer.judged_at.size() ? layer.judged_at[i] : std::nullopt, known.timestamps,
                             signed_files(layer, known, n, i));
            any = true;
        }
        for (size_t i = 0; i < layer.timestamps.size() && i < known.timestamps.size(); ++i) {
            // A time stamp of an outer layer is reported there.
            if (layer.timestamps[i].inherited)
                continue;
            writer.timestamp(layer.timestamps[i], known.timestamps[i]);
            any = true;
        }
    }
    if (!any)
        writer.unreadable();
    return writer.finish();
}

std::string write_etsi_report(const std::string& path, const Batch_report& report, const Report_facts& facts)
{
    return write_report_file(path, etsi_validation_report(report, facts));
}

} // namespace velin
