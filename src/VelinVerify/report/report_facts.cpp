#include "VelinVerify/report/report_facts.h"

#include "VelinVerify/certificates/certificate_texts.h"
#include "VelinVerify/certificates/trusted_list_rows.h"
#include "VelinVerify/pipeline/layer_analysis.h"
#include "VelinVerify/pipeline/pipeline_services.h"
#include "VelinVerify/pipeline/verification_session.h"
#include "trust/common_data_folder.h"
#include "trust/ocsp.h"
#include "trust/trusted_store.h"

#include <QCryptographicHash>
#include <QFile>

#include <openssl/asn1.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <map>

#include <unistd.h>

namespace velin {

namespace {

using Main = Report_indication::Main;

std::optional<std::time_t> seconds_of(const ASN1_TIME* time)
{
    std::tm fields{};
    if (!time || ASN1_TIME_to_tm(time, &fields) != 1)
        return std::nullopt;
    return timegm(&fields);
}

std::time_t seconds_of(const System_time& when)
{
    std::tm fields{};
    fields.tm_year = when.year - 1900;
    fields.tm_mon = when.month - 1;
    fields.tm_mday = when.day;
    fields.tm_hour = when.hour;
    fields.tm_min = when.minute;
    fields.tm_sec = when.second;
    return timegm(&fields);
}

// The serial number's magnitude in upper-case hexadecimal, a minus before a negative one.
std::string serial_text(const X509* x509)
{
    const ASN1_INTEGER* serial = X509_get0_serialNumber(x509);
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text = ASN1_STRING_type(serial) == V_ASN1_NEG_INTEGER ? "-" : "";
    const unsigned char* bytes = ASN1_STRING_get0_data(serial);
    for (int i = 0; i < ASN1_STRING_length(serial); ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

// The fiscal code an Italian certificate gives as the subject's serial number, "TINIT-" or
// "IT:" before it: sixteen letters and digits for a person, eleven digits for a company.
std::string fiscal_code_of(const X509* x509)
{
    const X509_NAME* subject = X509_get_subject_name(x509);
    const int at = X509_NAME_get_index_by_NID(subject, NID_serialNumber, -1);
    if (at < 0)
        return {};
    const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at));
    std::string text(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                     static_cast<size_t>(ASN1_STRING_length(value)));
    for (const char* prefix : {"TINIT-", "IT:"})
        if (text.rfind(prefix, 0) == 0)
            text.erase(0, std::char_traits<char>::length(prefix));
    const bool plain = std::all_of(text.begin(), text.end(), [](char c) { return std::isalnum((unsigned char)c); });
    const bool digits = std::all_of(text.begin(), text.end(), [](char c) { return std::isdigit((unsigned char)c); });
    if (plain && (text.size() == 16 || (text.size() == 11 && digits)))
        return text;
    return {};
}

std::string revocation_text(Revocation_status status)
{
    switch (status) {
    case Revocation_status::Not_checked:
        return "non verificata";
    case Revocation_status::Valid:
        return "certificato non revocato";
    case Revocation_status::Expired:
        return "certificato scaduto";
    case Revocation_status::Not_yet_valid:
        return "certificato non ancora valido";
    case Revocation_status::Revoked:
        return "certificato revocato";
    case Revocation_status::Update_disabled:
        return "non verificata: l'aggiornamento delle liste di revoca è disabilitato";
    case Revocation_status::Not_determinable:
        break;
    }
    return "non determinabile";
}

std::string date_text(std::time_t time)
{
    std::tm fields{};
    gmtime_r(&time, &fields);
    char text[40];
    std::strftime(text, sizeof text, "%d/%m/%Y %H:%M:%S (UTC)", &fields);
    return text;
}

// The SHA-256 of the bytes of answers and lists, each made once however many signers share one.
using Digest_memo = std::map<const std::vector<uint8_t>*, std::vector<uint8_t>>;

std::vector<uint8_t> sha256_of(const std::vector<uint8_t>& bytes, Digest_memo& memo)
{
    const auto [known, added] = memo.try_emplace(&bytes);
    if (added) {
        const QByteArray digest = QCryptographicHash::hash(
            QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())), QCryptographicHash::Sha256);
        known->second.assign(digest.begin(), digest.end());
    }
    return known->second;
}

// The evidence of a check: what decided, when it was given; nothing when nothing decided.
void take_evidence(Report_revocation& result, Revocation_source source, bool from_file,
                   const Revocation_evidence& evidence, Digest_memo& memo)
{
    if (source == Revocation_source::None || !evidence.der)
        return;
    result.source = source;
    result.from_file = from_file;
    result.from_cache = evidence.from_cache;
    result.url = evidence.url;
    result.issued = evidence.issued;
    result.next_update = evidence.next_update;
    result.sha256 = sha256_of(*evidence.der, memo);
}

// "revocato il DATE (motivo: ...)".
std::string revoked_text(const Report_revocation& revocation)
{
    std::string text = "revocato";
    if (revocation.revoked_at)
        text += " il " + date_text(*revocation.revoked_at);
    if (const std::string reason = revocation_reason_text(revocation.reason); !reason.empty())
        text += " (motivo: " + reason + ")";
    return text;
}

// Why the revocation could not be found out, when the record says more than its status.
std::string unknown_text(int revocation_issuer, bool no_source, bool silent_after_expiry, bool unknown_to_responder)
{
    if (revocation_issuer == 2)
        return "non determinabile: manca l'emittente del certificato, necessario a verificare le liste di revoca";
    if (no_source)
        return "non determinabile: il certificato non indica né una lista di revoca né un responder OCSP";
    if (silent_after_expiry)
        return "non determinabile: le liste e le risposte OCSP, emesse dopo la scadenza del certificato, non dicono "
               "se era revocato";
    if (unknown_to_responder)
        return "non determinabile: il responder OCSP non conosce il certificato";
    return {};
}

// What the answer or list said, or why there was none.
std::string answer_text(const Report_revocation& revocation, const std::string& status_text,
                        const std::string& why_unknown)
{
    switch (revocation.status) {
    case Revocation_status::Revoked:
        return "certificato " + revoked_text(revocation);
    case Revocation_status::Valid:
        return revocation.revoked ? "certificato " + revoked_text(revocation) +
                                        ", dopo l'ora a cui è valutato: a quell'ora non era revocato"
                                  : "certificato non revocato";
    case Revocation_status::Not_determinable:
    case Revocation_status::Update_disabled:
        if (!why_unknown.empty())
            return why_unknown;
        if (revocation.status == Revocation_status::Not_determinable)
            return "non determinabile: nessuna lista di revoca né risposta OCSP utilizzabile è stata ottenuta";
        break;
    default:
        break;
    }
    return status_text;
}

Report_revocation signer_revocation(const Signer_record& record, Digest_memo& memo)
{
    Report_revocation result;
    result.status = record.revocation_status;
    take_evidence(result, record.revocation_source, record.revocation_from_file, record.revocation_evidence, memo);
    result.revoked = record.revoked_at.has_value() || record.revocation_status == Revocation_status::Revoked;
    result.revoked_at = record.revoked_at;
    result.reason = record.revocation_reason;
    result.judged_at = record.judged_at;
    result.answer =
        answer_text(result, revocation_text(record.revocation_status),
                    unknown_text(record.revocation_issuer, record.revocation_no_source,
                                 record.revocation_silent_after_expiry, record.revocation_unknown_to_responder));
    return result;
}

Report_revocation timestamp_revocation(const Timestamp_record& record, Digest_memo& memo)
{
    Report_revocation result;
    result.status = record.revocation;
    take_evidence(result, record.revocation_source, record.revocation_from_file, record.revocation_evidence, memo);
    result.revoked = record.revoked;
    result.revoked_at = record.revoked_at;
    result.reason = record.revocation_reason;
    result.judged_at = record.authority_judged_at;
    result.answer = answer_text(result, revocation_text(record.revocation), {});
    return result;
}

Report_context::Certificate_list certificate_list(const std::string& name, bool used, const std::string& path)
{
    Report_context::Certificate_list list{name, used, {}};
    if (used)
        if (const auto read = file_size_and_sha256(path))
            list.sha256 = read->second;
    return list;
}

// The lists of certificates of the data folder (the national list of accredited authorities, the
// card list) and the user's own, with the SHA-256 of their files.
std::vector<Report_context::Certificate_list> certificate_lists(const Trusted_store& store)
{
    const std::string data = common_data_folder();
    std::vector<Report_context::Certificate_list> lists;
    lists.push_back(certificate_list("Elenco nazionale dei certificatori accreditati (cnipa.sst)",
                                     store.cnipa_store_is_available(), Trusted_store::cnipa_list_path(data)));
    const std::string card = Trusted_store::card_list_path(data);
    if (QFile::exists(QString::fromStdString(card)))
        lists.push_back(certificate_list("Elenco dei certificati della carta (cns.sst)", true, card));
    std::string user = Trusted_store::personal_user_list_path();
    if (user.empty() || !QFile::exists(QString::fromStdString(user)))
        user = Trusted_store::user_list_path(data);
    lists.push_back(certificate_list("Elenco dei certificati dell'utente", store.user_store_is_available(), user));
    return lists;
}

Report_indication failed(const char* sub)
{
    return {Main::Total_failed, sub};
}
Report_indication indeterminate(const char* sub)
{
    return {Main::Indeterminate, sub};
}

} // namespace

std::string revocation_source_text(const Report_revocation& revocation)
{
    std::string text;
    switch (revocation.source) {
    case Revocation_source::Ocsp:
        text = revocation.from_file ? "risposta OCSP contenuta nel file firmato" : "risposta OCSP";
        if (!revocation.url.empty())
            text += " del responder " + revocation.url;
        if (revocation.from_cache)
            text += ", conservata da una verifica precedente";
        return text;
    case Revocation_source::Crl:
        text = revocation.from_file ? "lista di revoca (CRL) contenuta nel file firmato" : "lista di revoca (CRL)";
        if (!revocation.url.empty())
            text += " pubblicata in " + revocation.url;
        return text;
    case Revocation_source::None:
        break;
    }
    return "nessuna";
}

Report_revocation report_revocation(const Signer_record& record)
{
    Digest_memo memo;
    return signer_revocation(record, memo);
}

Report_revocation report_revocation(const Timestamp_record& record)
{
    Digest_memo memo;
    return timestamp_revocation(record, memo);
}

void link_timestamps(Report_signer& signer, size_t index, const Signer_record& record,
                     const std::vector<Timestamp_record>& timestamps)
{
    for (size_t n = 0; n < timestamps.size(); ++n) {
        const Timestamp_record& timestamp = timestamps[n];
        // A time stamp of the references proves when the validation data existed, not the signature.
        if (!timestamp.info.read || timestamp.info.scope == Timestamp_scope::References || !timestamp.covers(index))
            continue;
        signer.timestamps.push_back(n);
        const std::optional<Existence_proof>& proof = record.proof;
        if (proof && !signer.proof_timestamp && proof->at == timestamp.info.time &&
            proof->scope == timestamp.info.scope && proof->inherited == timestamp.inherited)
            signer.proof_timestamp = n;
    }
}

const char* main_indication_name(Report_indication::Main main)
{
    switch (main) {
    case Main::Total_passed:
        return "total-passed";
    case Main::Total_failed:
        return "total-failed";
    case Main::Indeterminate:
        break;
    }
    return "indeterminate";
}

Report_certificate report_certificate(const Certificate& certificate)
{
    Report_certificate result;
    const X509* x509 = certificate.raw_handle();
    if (!x509)
        return result;
    result.subject = name_values_reversed(X509_get_subject_name(x509));
    result.issuer = name_values_reversed(X509_get_issuer_name(x509));
    result.serial = serial_text(x509);
    result.not_before = seconds_of(X509_get0_notBefore(x509));
    result.not_after = seconds_of(X509_get0_notAfter(x509));
    result.fiscal_code = fiscal_code_of(x509);
    const std::vector<uint8_t>& der = certificate.der();
    const QByteArray digest = QCryptographicHash::hash(QByteArrayView(der.data(), static_cast<qsizetype>(der.size())),
                                                       QCryptographicHash::Sha256);
    result.sha256.assign(digest.begin(), digest.end());
    return result;
}

Report_indication signer_indication(const Signature_info& signature, const Signer_record& record)
{
    if (!record.certificate.is_assigned() || signature.signing_certificate_mismatch)
        return indeterminate("NO_SIGNING_CERTIFICATE_FOUND");
    if (!signature.integrity.is_assigned())
        return signature.document_missing ? indeterminate("SIGNED_DATA_NOT_FOUND") : failed("FORMAT_FAILURE");
    if (!signature.signature_matches())
        return failed("HASH_FAILURE");
    if (record.revocation_status == Revocation_status::Revoked)
        return failed("REVOKED");
    if (!signature.later_changes.forbidden.empty())
        return indeterminate("SIG_CONSTRAINTS_FAILURE");
    if (record.issuer_signature_failed)
        return indeterminate("CERTIFICATE_CHAIN_GENERAL_FAILURE");
    if (!record.chain.is_assigned())
        return indeterminate("NO_CERTIFICATE_CHAIN_FOUND");
    // Out of its dates at the time it was judged at: with a time stamp's proof of that time the
    // signature was made outside them, without one nothing proves it was made within them.
    if (record.revocation_status == Revocation_status::Expired)
        return record.judged_at ? failed("EXPIRED") : indeterminate("OUT_OF_BOUNDS_NO_POE");
    if (record.revocation_status == Revocation_status::Not_yet_valid)
        return failed("NOT_YET_VALID");
    if (record.revocation_status != Revocation_status::Valid)
        return indeterminate("TRY_LATER");
    return {Main::Total_passed, {}};
}

Report_indication timestamp_indication(const Timestamp_record& record)
{
    const Timestamp_info& info = record.info;
    if (!info.read)
        return failed("FORMAT_FAILURE");
    if (!info.imprint_matches && !info.nothing_covered)
        return failed("HASH_FAILURE");
    if (!info.signature_valid)
        return failed("SIG_CRYPTO_FAILURE");
    if (info.nothing_covered)
        return indeterminate("SIGNED_DATA_NOT_FOUND");
    if (record.revoked_by_compromise())
        return failed("REVOKED");
    if (!info.verified())
        return indeterminate("SIG_CONSTRAINTS_FAILURE");
    if (!record.trusted.is_assigned() || !record.trusted.value())
        return indeterminate("NO_CERTIFICATE_CHAIN_FOUND");
    if (!record.usable())
        return indeterminate("TRY_LATER");
    return {Main::Total_passed, {}};
}

namespace {

Report_signer signer_facts(const Signature_info& signature, const Signer_record& record, Digest_memo& memo)
{
    Report_signer result;
    if (record.certificate.is_assigned() && record.certificate.value().is_valid())
        result.certificate = report_certificate(record.certificate.value());
    if (record.chain.is_assigned()) {
        result.chain_complete = true;
        const std::vector<Certificate>& chain = record.chain.value();
        for (size_t i = 1; i < chain.size(); ++i)
            if (chain[i].is_valid())
                result.chain.push_back(report_certificate(chain[i]));
    } else if (record.issuer.is_assigned() && record.issuer.value().is_valid()) {
        result.chain.push_back(report_certificate(record.issuer.value()));
    }
    if (signature.signing_time.is_assigned())
        result.signing_time = seconds_of(signature.signing_time.value());
    result.revocation = revocation_text(record.revocation_status);
    result.revocation_details = signer_revocation(record, memo);
    result.indication = signer_indication(signature, record);
    result.changed_after = signature.changed_after;
    result.later_allowed = signature.later_changes.allowed;
    result.later_forbidden = signature.later_changes.forbidden;
    result.revision_end = signature.revision_end;
    return result;
}

Report_timestamp timestamp_facts(const Timestamp_record& record, Digest_memo& memo)
{
    Report_timestamp result;
    if (!record.info.certificate.empty())
        result.authority = report_certificate(Certificate(record.info.certificate.shared_x509()));
    result.indication = timestamp_indication(record);
    result.scope = record.info.scope;
    if (record.info.read)
        result.time = record.info.time;
    result.sha256 = record.info.token_sha256;
    result.revocation = timestamp_revocation(record, memo);
    result.revision_end = record.info.revision_end;
    result.inherited = record.inherited;
    return result;
}

} // namespace

Report_signer report_signer(const Signature_info& signature, const Signer_record& record)
{
    Digest_memo memo;
    return signer_facts(signature, record, memo);
}

Report_timestamp report_timestamp(const Timestamp_record& record)
{
    Digest_memo memo;
    return timestamp_facts(record, memo);
}

std::vector<Report_container_file> report_container_files(const Signed_document_info& info)
{
    std::vector<Report_container_file> files;
    if (!info.envelope.is_assigned())
        return files;
    for (const Envelope_info::Container_file& file : info.envelope.value().container_files) {
        Report_container_file listed{file.name, file.bytes.size(), file.sha256, file.timestamped};
        // The digest made while the container was read, else one made now.
        QCryptographicHash hash(QCryptographicHash::Sha256);
        if (listed.sha256.empty() && file.bytes.read_slices([&hash](std::span<const uint8_t> slice) {
                hash.addData(QByteArrayView(slice.data(), static_cast<qsizetype>(slice.size())));
                return true;
            })) {
            const QByteArray digest = hash.result();
            listed.sha256.assign(digest.begin(), digest.end());
        }
        files.push_back(std::move(listed));
    }
    return files;
}

uint64_t pdf_length(std::span<const uint8_t> bytes)
{
    size_t end = bytes.size();
    while (end > 0 &&
           (bytes[end - 1] == '\n' || bytes[end - 1] == '\r' || bytes[end - 1] == ' ' || bytes[end - 1] == 0))
        --end;
    return end;
}

std::vector<Report_revision> report_revisions(const Report_layer_facts& layer)
{
    std::vector<Report_revision> revisions;
    for (size_t i = 0; i < layer.signers.size(); ++i)
        if (layer.signers[i].revision_end > 0)
            revisions.push_back({layer.signers[i].revision_end, i, std::nullopt});
    for (size_t i = 0; i < layer.timestamps.size(); ++i)
        if (layer.timestamps[i].revision_end > 0 && !layer.timestamps[i].inherited)
            revisions.push_back({layer.timestamps[i].revision_end, std::nullopt, i});
    if (revisions.empty())
        return revisions;
    std::stable_sort(revisions.begin(), revisions.end(),
                     [](const Report_revision& a, const Report_revision& b) { return a.end < b.end; });
    if (layer.pdf_length > revisions.back().end)
        revisions.push_back({layer.pdf_length, std::nullopt, std::nullopt});
    return revisions;
}

std::string digest_hex(const std::vector<uint8_t>& bytes)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (const uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

std::optional<std::pair<uint64_t, std::string>> file_size_and_sha256(const std::string& path)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file))
        return std::nullopt;
    return std::pair{static_cast<uint64_t>(file.size()), hash.result().toHex().toStdString()};
}

Report_facts make_report_facts(const Verification_session& session, std::time_t verified_at)
{
    Report_facts facts;
    const std::string& path = session.path();
    const size_t slash = path.rfind('/');
    facts.name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (const auto read = file_size_and_sha256(path)) {
        facts.size = read->first;
        facts.sha256 = read->second;
    }
    facts.verified_at = verified_at;
    Digest_memo memo;
    for (const auto& layer : session.layers()) {
        Report_layer_facts layer_facts;
        const std::vector<Signer_record>& records = layer->signer_records();
        const Signed_document_info* info = layer->info().get();
        const std::vector<Signature_info>* signatures =
            info && info->envelope.is_assigned() && info->envelope.value().signatures.is_assigned()
                ? &info->envelope.value().signatures.value()
                : nullptr;
        for (size_t i = 0; i < records.size(); ++i) {
            layer_facts.signers.push_back(signatures && i < signatures->size()
                                              ? signer_facts((*signatures)[i], records[i], memo)
                                              : signer_facts(Signature_info{}, records[i], memo));
            link_timestamps(layer_facts.signers.back(), i, records[i], layer->timestamps());
        }
        for (const Timestamp_record& record : layer->timestamps())
            layer_facts.timestamps.push_back(timestamp_facts(record, memo));
        if (info)
            layer_facts.container_files = report_container_files(*info);
        const auto signed_revision = [](const auto& each) { return each.revision_end > 0; };
        if (info && info->file_data.is_assigned() &&
            (std::any_of(layer_facts.signers.begin(), layer_facts.signers.end(), signed_revision) ||
             std::any_of(layer_facts.timestamps.begin(), layer_facts.timestamps.end(), signed_revision)))
            layer_facts.pdf_length = pdf_length(info->file_data.value().view());
        facts.layers.push_back(std::move(layer_facts));
    }
    return facts;
}

Report_context make_report_context(std::string suite_version, const Pipeline_settings& settings,
                                   const Trusted_store* store)
{
    Report_context context;
    context.suite_version = std::move(suite_version);
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) == 0)
        context.host_name = host;
    const std::time_t now = std::time(nullptr);
    context.trusted_lists = trusted_list_summary(store ? store->trusted_lists().get() : nullptr, now);
    if (store)
        context.certificate_lists = certificate_lists(*store);
    if (!settings.check_revocation) {
        context.revocation_settings = "Verifica della revoca disabilitata.";
    } else {
        const char* method = settings.revocation_method == Revocation_method::Only_ocsp ? "solo OCSP"
                             : settings.revocation_method == Revocation_method::Only_crl
                                 ? "solo liste di revoca (CRL)"
                                 : "OCSP e liste di revoca (CRL)";
        context.revocation_settings =
            std::string("Verifica della revoca attiva (") + method + "); " +
            (settings.download_crls ? "scaricamento delle liste di revoca attivo."
                                    : "scaricamento disabilitato: solo le liste già presenti.");
    }
    return context;
}

} // namespace velin
