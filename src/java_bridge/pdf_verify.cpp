#include "java_bridge/pdf_verify.h"

#include "common/owner.h"
#include "common/trace.h"
#include "envelope/content_kind.h"
#include "java_bridge/java_vm.h"
#include "java_bridge/pdf_classes.h"
#include "java_bridge/revision_changes.h"

#include <openssl/err.h>
#include <openssl/objects.h>

#include <array>
#include <climits>
#include <cstdio>
#include <map>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velin {

const char* const Text_pdf_not_signed = "Il documento PDF non contiene firme digitali.";
const char* const Text_pdf_unreadable = "Il documento PDF è danneggiato e non può essere letto.";
const char* const Text_pdf_needs_java =
    "La verifica dei documenti PDF richiede un ambiente Java, che non è stato trovato o non può essere avviato.";
const char* const Text_pdf_too_large =
    "Il documento PDF contiene oggetti compressi che, una volta decompressi, sono troppo grandi per essere letti "
    "in sicurezza: il documento non può essere verificato.";
const char* const Text_pdf_no_memory =
    "La memoria riservata alla verifica dei documenti PDF non è sufficiente per leggere questo documento: il "
    "documento non può essere verificato.";

namespace {

constexpr int Not_a_pdf_code = 1;
constexpr int Not_signed_code = 6;
constexpr int Too_large_code = 7;
constexpr int No_memory_code = 8;

// The NID of a dotted OID as the classes give it; 0 for anything else.
int digest_nid(const std::string& oid)
{
    if (oid.empty() || oid.size() > 64 || oid.find_first_not_of("0123456789.") != std::string::npos)
        return 0;
    const int nid = OBJ_txt2nid(oid.c_str());
    return nid == NID_undef ? 0 : nid;
}

// The signature forms whose /Contents is a CMS signature with signed attributes of its own.
bool is_cms_kind(const std::string& kind)
{
    return kind == "adbe.pkcs7.detached" || kind == "ETSI.CAdES.detached" || kind == "PBAD.PAdES" ||
           kind == "adbe.pkcs7.sha1";
}

// What a CMS signature says beyond its signature: whether its signing-certificate attribute, when
// it has one, names the certificate the signature was checked with; and what it carries for the
// verification (the authorities of its certificates, its revocation archive). A signature that
// does not decode here has been judged already.
struct Cms_facts {
    bool certificate_bound = true;
    Validation_data carried;
    // Its signature value and the time stamps over it (PAdES-B-T), checked as an envelope's are.
    std::vector<uint8_t> signature_value;
    std::vector<std::vector<uint8_t>> signature_tokens;
};

Cms_facts cms_facts(const std::vector<uint8_t>& contents, const Signer_certificate& certificate)
{
    Cms_facts facts;
    if (contents.empty())
        return facts;
    const unsigned char* in = contents.data();
    const Owner<CMS_ContentInfo> cms(
        d2i_CMS_ContentInfo(nullptr, &in, static_cast<long>(std::min<size_t>(contents.size(), LONG_MAX))));
    ERR_clear_error();
    STACK_OF(CMS_SignerInfo)* signers = cms ? CMS_get0_SignerInfos(cms.get()) : nullptr;
    if (!signers || sk_CMS_SignerInfo_num(signers) != 1)
        return facts;
    CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(signers, 0);
    if (!certificate.empty()) {
        const Owner<STACK_OF(X509)> carried(CMS_get1_certs(cms.get()));
        facts.certificate_bound = signing_certificate_bound(signer, certificate.x509(), carried.get());
    }
    facts.carried = archived_revocation_values(revocation_archive_attribute(signer));
    facts.carried.certificates = carried_authorities(cms.get());
    const ASN1_OCTET_STRING* value = CMS_SignerInfo_get0_signature(signer);
    const unsigned char* data = ASN1_STRING_get0_data(value);
    facts.signature_value.assign(data, data + std::max(0, ASN1_STRING_length(value)));
    facts.signature_tokens = timestamp_tokens_of(signer, true);
    ERR_clear_error();
    return facts;
}

using Byte_range = std::array<uint64_t, 4>;

// The range as the classes give it, checked again against the file: from the start, a hole, and
// the rest inside the file.
std::optional<Byte_range> byte_range(JNIEnv* env, jlongArray array, size_t file_size)
{
    if (!array || env->GetArrayLength(array) != 4)
        return std::nullopt;
    jlong numbers[4] = {};
    env->GetLongArrayRegion(array, 0, 4, numbers);
    if (env->ExceptionCheck())
        return std::nullopt;
    for (const jlong number : numbers)
        if (number < 0 || static_cast<uint64_t>(number) > file_size)
            return std::nullopt;
    const Byte_range range{static_cast<uint64_t>(numbers[0]), static_cast<uint64_t>(numbers[1]),
                           static_cast<uint64_t>(numbers[2]), static_cast<uint64_t>(numbers[3])};
    if (range[0] != 0 || range[2] < range[1] || range[3] > file_size - range[2])
        return std::nullopt;
    return range;
}

std::vector<std::vector<uint8_t>> byte_arrays(JNIEnv* env, jobjectArray array)
{
    std::vector<std::vector<uint8_t>> items;
    const jsize count = array ? env->GetArrayLength(array) : 0;
    for (jsize i = 0; i < count && !env->ExceptionCheck(); ++i) {
        auto item = static_cast<jbyteArray>(env->GetObjectArrayElement(array, i));
        if (std::vector<uint8_t> bytes = native_bytes(env, item); !bytes.empty())
            items.push_back(std::move(bytes));
        if (item)
            env->DeleteLocalRef(item);
    }
    return items;
}

std::vector<std::string> texts(JNIEnv* env, jobjectArray array)
{
    std::vector<std::string> items;
    const jsize count = array ? env->GetArrayLength(array) : 0;
    for (jsize i = 0; i < count && !env->ExceptionCheck(); ++i) {
        auto item = static_cast<jstring>(env->GetObjectArrayElement(array, i));
        items.push_back(native_text(env, item));
        if (item)
            env->DeleteLocalRef(item);
    }
    return items;
}

std::vector<int> numbers(JNIEnv* env, jintArray array)
{
    std::vector<int> items(array ? static_cast<size_t>(env->GetArrayLength(array)) : 0);
    if (!items.empty())
        env->GetIntArrayRegion(array, 0, static_cast<jsize>(items.size()), items.data());
    if (env->ExceptionCheck())
        items.clear();
    return items;
}

struct Document_stamp {
    std::vector<uint8_t> token;
    std::optional<Byte_range> range;
};

// The Java side's record of one signature dictionary, read field by field.
constexpr const char* Signer_record_class = "it/norax/coop/sigillo/JNI_Pdf_verify$Signer";
constexpr struct {
    const char* name;
    const char* signature;
} Signer_record_fields[] = {
    {"certificate", "[B"},
    {"signing_time", "Ljava/lang/String;"},
    {"valid", "Z"},
    {"range", "[J"},
    {"kind", "Ljava/lang/String;"},
    {"problem", "Ljava/lang/String;"},
    {"supported", "Z"},
    {"digest", "Ljava/lang/String;"},
    {"changed_after", "Z"},
    {"changes", "I"},
    {"locked_changed", "[Ljava/lang/String;"},
    {"appearance_pages", "[I"},
    {"contents", "[B"},
    {"in_form", "Z"},
};
using Record_fields = std::map<std::string, jfieldID>;

// The record's fields, found once per verification; empty, and said in the trace, when one is missing.
Record_fields bind_signer_record(JNIEnv* env)
{
    Record_fields fields;
    jclass record = env->FindClass(Signer_record_class);
    if (!record) {
        env->ExceptionClear();
        Trace(Trace_kind, Level_info) << "Caricamento della classe " << Signer_record_class << " fallito.";
        return {};
    }
    for (const auto& field : Signer_record_fields) {
        jfieldID id = env->GetFieldID(record, field.name, field.signature);
        if (!id) {
            env->ExceptionClear();
            Trace(Trace_kind, Level_info) << "pdf_verify.Signer." << field.name << " non disponibile.";
            fields.clear();
            break;
        }
        fields[field.name] = id;
    }
    env->DeleteLocalRef(record);
    return fields;
}

// One signature dictionary as its record describes it, with its /Contents and its byte range.
struct Java_signature {
    Pdf_verify::Signer signer;
    std::vector<uint8_t> contents;
    std::optional<Byte_range> range;
};

Java_signature read_signer_record(JNIEnv* env, jobject record, const Record_fields& field, size_t file_size)
{
    Local_refs refs(env);
    const auto object = [&](const char* name) { return refs.keep(env->GetObjectField(record, field.at(name))); };
    const auto text = [&](const char* name) { return native_text(env, static_cast<jstring>(object(name))); };
    const auto flag = [&](const char* name) { return env->GetBooleanField(record, field.at(name)) == JNI_TRUE; };
    Java_signature read;
    Pdf_verify::Signer& signer = read.signer;
    signer.certificate =
        Signer_certificate::from_der(native_bytes(env, static_cast<jbyteArray>(object("certificate"))));
    if (const std::optional<System_time> parsed = parse_java_time(text("signing_time")))
        signer.signing_time = std::make_shared<const System_time>(*parsed);
    signer.intact = flag("valid");
    signer.kind = text("kind");
    signer.supported = flag("supported");
    signer.changed_after = flag("changed_after");
    signer.outside_form = !flag("in_form");
    signer.changes = static_cast<unsigned>(env->GetIntField(record, field.at("changes")));
    signer.locked_fields = texts(env, static_cast<jobjectArray>(object("locked_changed")));
    signer.appearance_pages = numbers(env, static_cast<jintArray>(object("appearance_pages")));
    signer.digest_nid = digest_nid(text("digest"));
    signer.problem = text("problem");
    read.contents = native_bytes(env, static_cast<jbyteArray>(object("contents")));
    read.range = byte_range(env, static_cast<jlongArray>(object("range")), file_size);
    return read;
}

// The signatures of the records, in order, and the document time stamps among them, with what the
// signatures carry for their own verification.
struct Read_signatures {
    std::vector<Pdf_verify::Signer> signers;
    std::vector<Document_stamp> stamps;
    Validation_data carried;
};

Read_signatures signatures_of_records(JNIEnv* env, jobjectArray records, const Record_fields& fields, size_t file_size)
{
    Read_signatures read;
    const jsize count = records ? env->GetArrayLength(records) : 0;
    for (jsize i = 0; i < count && !env->ExceptionCheck(); ++i) {
        jobject record = env->GetObjectArrayElement(records, i);
        if (!record)
            continue;
        Java_signature signature = read_signer_record(env, record, fields, file_size);
        env->DeleteLocalRef(record);
        Pdf_verify::Signer& signer = signature.signer;
        if (!signer.problem.empty())
            Trace(Trace_kind, Level_info) << "Firma PDF " << i + 1 << ": " << signer.problem;
        if (signer.kind == "ETSI.RFC3161") {
            // A document time stamp is checked over its range, as every other time stamp is.
            read.stamps.push_back({std::move(signature.contents), signature.range});
            continue;
        }
        if (signature.range)
            signer.revision_end = (*signature.range)[2] + (*signature.range)[3];
        if (is_cms_kind(signer.kind)) {
            Cms_facts facts = cms_facts(signature.contents, signer.certificate);
            if (!facts.certificate_bound) {
                Trace(Trace_kind, Level_info)
                    << "Firma PDF " << i + 1 << ": il certificato non è quello indicato dalla firma";
                signer.certificate_mismatch = true;
            }
            read.carried.add(facts.carried);
            signer.signature_value = std::move(facts.signature_value);
            signer.signature_tokens = std::move(facts.signature_tokens);
        }
        read.signers.push_back(std::move(signer));
    }
    return read;
}

// Each document time stamp checked over its own range; it covers every signature whose revision
// lies before its hole, and every document time stamp whose token does (covered_timestamps counts
// among the document time stamps).
std::vector<Timestamp_info> checked_document_stamps(std::span<const uint8_t> bytes,
                                                    const std::vector<Document_stamp>& stamps,
                                                    const std::vector<Pdf_verify::Signer>& signers)
{
    std::vector<Timestamp_info> checked;
    for (const Document_stamp& stamp : stamps) {
        Trace_block block("Verifica della marca temporale del documento PDF");
        Covered_digest covered;
        std::vector<size_t> covered_signers;
        uint64_t revision_end = 0;
        if (stamp.range) {
            const auto [start, hole, rest, rest_size] = *stamp.range;
            revision_end = rest + rest_size;
            covered = digest_of_pieces({bytes.subspan(start, hole), bytes.subspan(rest, rest_size)});
            for (size_t j = 0; j < signers.size(); ++j)
                if (signers[j].revision_end > 0 && signers[j].revision_end <= hole)
                    covered_signers.push_back(j);
        }
        Timestamp_info timestamp = check_timestamp(stamp.token, covered);
        timestamp.scope = Timestamp_scope::Document;
        timestamp.covered_signers = std::move(covered_signers);
        timestamp.revision_end = revision_end;
        // An earlier stamp's token (the hole of its range) before this one's hole is among the
        // bytes this one covers.
        for (size_t k = 0; stamp.range && k < stamps.size(); ++k)
            if (&stamps[k] != &stamp && stamps[k].range && (*stamps[k].range)[2] <= (*stamp.range)[1])
                timestamp.covered_timestamps.push_back(k);
        checked.push_back(std::move(timestamp));
    }
    return checked;
}

// The classes' verification of the document: the verifier object when it read the document;
// null otherwise, with the outcome the classes' code gives.
jobject verified_document(JNIEnv* env, Local_refs& refs, const Java_class_binding& binding,
                          std::span<const uint8_t> bytes, Pdf_outcome& outcome)
{
    Trace(Trace_kind, Level_info) << "Istanzia la classe per la verifica PDF...";
    jobject verifier = refs.keep(binding.create(env));
    if (!verifier)
        return nullptr;
    Trace(Trace_kind, Level_info) << "Copia il documento in memoria...";
    jbyteArray pdf = refs.keep(java_bytes(env, bytes));
    if (!pdf)
        return nullptr;
    Trace(Trace_kind, Level_info) << "Verifica...";
    env->CallVoidMethod(verifier, binding.method("verify"), pdf);
    if (const std::string exception = take_java_exception(env); !exception.empty()) {
        Trace(Trace_kind, Level_info) << exception;
        return nullptr;
    }
    const jint code = env->CallIntMethod(verifier, binding.method("error"));
    if (code == 0)
        return verifier;
    Trace(Trace_kind, Level_info) << "Codice della verifica PDF: " << code;
    auto stack = refs.keep(static_cast<jstring>(env->CallObjectMethod(verifier, binding.method("exception_stack"))));
    Trace(Trace_kind, Level_info) << native_text(env, stack);
    take_java_exception(env);
    outcome = code == Not_a_pdf_code    ? Pdf_outcome::Not_a_pdf
              : code == Not_signed_code ? Pdf_outcome::Not_signed
              : code == Too_large_code  ? Pdf_outcome::Too_large
              : code == No_memory_code  ? Pdf_outcome::No_memory
                                        : outcome;
    return nullptr;
}

} // namespace

std::string pdf_unsupported_text(const std::string& kind)
{
    // The name comes from the document: only a name's own characters, and not too many.
    std::string name;
    for (const char c : kind.substr(0, 64))
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
            c == '-')
            name += c;
    if (name.empty())
        return "Il formato di questa firma PDF non è indicato o non è supportato: la firma non può essere verificata.";
    return "Il formato di questa firma PDF (" + name + ") non è supportato: la firma non può essere verificata.";
}

std::optional<System_time> parse_java_time(const std::string& text)
{
    int day = 0, month = 0, year = 0, hour = 0, minute = 0, second = 0;
    if (std::sscanf(text.c_str(), "%d/%d/%d %d:%d:%d", &day, &month, &year, &hour, &minute, &second) != 6)
        return std::nullopt;
    if (day < 1 || day > 31 || month < 1 || month > 12 || year < 1 || year > 9999 || hour < 0 || hour > 23 ||
        minute < 0 || minute > 59 || second < 0 || second > 60)
        return std::nullopt;
    System_time time;
    time.year = static_cast<uint16_t>(year);
    time.month = static_cast<uint16_t>(month);
    time.day = static_cast<uint16_t>(day);
    time.hour = static_cast<uint16_t>(hour);
    time.minute = static_cast<uint16_t>(minute);
    time.second = static_cast<uint16_t>(second);
    return time;
}

Assignable<Signature_integrity> Pdf_verify::signature_integrity() const
{
    Assignable<Signature_integrity> integrity;
    if (!parsed() || _selected >= _signers.size()) {
        integrity.set_failed("La firma non può essere verificata.");
        return integrity;
    }
    if (!_signers[_selected].supported) {
        integrity.set_failed(unchecked_text());
        return integrity;
    }
    // Its own bytes: what changed after them is said by later_changes(). A certificate other than
    // the one the signature names is not the signer's.
    const Signer& signer = _signers[_selected];
    integrity.assign(signer.intact && !signer.certificate_mismatch ? Signature_integrity::Intact
                                                                   : Signature_integrity::Not_intact);
    return integrity;
}

Later_changes Pdf_verify::later_changes() const
{
    if (!parsed() || _selected >= _signers.size())
        return {};
    const Signer& signer = _signers[_selected];
    return judge_later_changes(signer.changes, _certification, signer.locked_fields, signer.appearance_pages);
}

std::vector<std::vector<uint8_t>> Pdf_verify::signer_timestamp_tokens(Timestamp_scope scope) const
{
    // A content time stamp would cover the signed bytes, not the file the verifier holds: not read.
    if (!parsed() || _selected >= _signers.size() || scope != Timestamp_scope::Signature)
        return {};
    return _signers[_selected].signature_tokens;
}

std::vector<uint8_t> Pdf_verify::signature_value() const
{
    return parsed() && _selected < _signers.size() ? _signers[_selected].signature_value : std::vector<uint8_t>{};
}

bool Pdf_verify::signing_certificate_mismatch() const
{
    return parsed() && _selected < _signers.size() && _signers[_selected].certificate_mismatch;
}

bool Pdf_verify::outside_form() const
{
    return parsed() && _selected < _signers.size() && _signers[_selected].outside_form;
}

uint64_t Pdf_verify::signed_revision_end() const
{
    return parsed() && _selected < _signers.size() ? _signers[_selected].revision_end : 0;
}

bool Pdf_verify::changed_after_signature() const
{
    return parsed() && _selected < _signers.size() && _signers[_selected].changed_after;
}

int Pdf_verify::digest_algorithm() const
{
    return parsed() && _selected < _signers.size() ? _signers[_selected].digest_nid : 0;
}

std::string Pdf_verify::unchecked_text() const
{
    if (!parsed() || _selected >= _signers.size() || _signers[_selected].supported)
        return {};
    return pdf_unsupported_text(_signers[_selected].kind);
}

std::string Pdf_verify::failure_text() const
{
    switch (_outcome) {
    case Pdf_outcome::Verified:
        return {};
    case Pdf_outcome::Not_signed:
        return Text_pdf_not_signed;
    case Pdf_outcome::Not_a_pdf:
        return Text_pdf_unreadable;
    case Pdf_outcome::No_java:
        return Text_pdf_needs_java;
    case Pdf_outcome::Too_large:
        return Text_pdf_too_large;
    case Pdf_outcome::No_memory:
        return Text_pdf_no_memory;
    case Pdf_outcome::Failed:
        break;
    }
    return {};
}

void prepare_pdf_verification(JNIEnv* env)
{
    jclass workload = env->FindClass(Startup_workload_class);
    jmethodID prepare = workload ? env->GetStaticMethodID(workload, "prepare_verification", "()V") : nullptr;
    if (prepare)
        env->CallStaticVoidMethod(workload, prepare);
    if (const std::string exception = take_java_exception(env); !exception.empty())
        Trace(Trace_kind, Level_info) << "Preparazione della verifica PDF: " << exception;
    if (workload)
        env->DeleteLocalRef(workload);
}

std::optional<uint64_t> pdf_file_size(const std::string& path)
{
    // Non-blocking: opening a pipe that nobody writes to would wait for a writer.
    const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (file < 0)
        return std::nullopt;
    struct stat info {};
    std::array<uint8_t, 8192> head{};
    ssize_t read = -1;
    if (::fstat(file, &info) == 0 && S_ISREG(info.st_mode))
        read = ::pread(file, head.data(), head.size(), 0);
    ::close(file);
    if (read <= 0 || document_type_by_content(std::span<const uint8_t>(head.data(), static_cast<size_t>(read))) !=
                         Document_types::Pdf)
        return std::nullopt;
    return static_cast<uint64_t>(info.st_size);
}

void Pdf_verify::parse(std::span<const uint8_t> bytes)
{
    Trace(Trace_kind, Level_info) << "Verifica PDF";
    _outcome = Pdf_outcome::No_java;
    _signers.clear();
    _certification = 0;
    _timestamps.clear();
    _validation_data = {};
    _content.assign(bytes.begin(), bytes.end());
    Java_vm& machine = Java_vm::instance();
    if (machine.start(bytes.size()) == Jvm_failed)
        return;
    Jvm_thread thread(machine.machine());
    JNIEnv* env = thread.env();
    if (!env)
        return;
    prepare_pdf_verification(env);
    Local_refs refs(env);
    Java_class_binding binding(Pdf_verify_class, "Pdf_verify", "pdf_verify.",
                               {{"verify", "([B)V"},
                                {"error", "()I"},
                                {"exception_stack", "()Ljava/lang/String;"},
                                {"signers", "()[Lit/norax/coop/sigillo/JNI_Pdf_verify$Signer;"},
                                {"certification_level", "()I"},
                                {"validation_items", "(I)[[B"},
                                {"bytes_after_signatures", "()Z"}});
    if (!binding.bind(env, "Carica la classe per la verifica PDF.."))
        return;
    const Record_fields fields = bind_signer_record(env);
    if (fields.empty())
        return;
    _outcome = Pdf_outcome::Failed;
    jobject verifier = verified_document(env, refs, binding, bytes, _outcome);
    if (!verifier)
        return;
    auto records = refs.keep(static_cast<jobjectArray>(env->CallObjectMethod(verifier, binding.method("signers"))));
    Read_signatures read = signatures_of_records(env, records, fields, bytes.size());
    _signers = std::move(read.signers);
    _bytes_after_signatures = env->CallBooleanMethod(verifier, binding.method("bytes_after_signatures")) == JNI_TRUE;
    _certification = env->CallIntMethod(verifier, binding.method("certification_level"));
    auto validation_items = [&](jint kind) {
        auto items = refs.keep(
            static_cast<jobjectArray>(env->CallObjectMethod(verifier, binding.method("validation_items"), kind)));
        return byte_arrays(env, items);
    };
    _validation_data.certificates = validation_items(0);
    _validation_data.crls = validation_items(1);
    _validation_data.ocsp_answers = validation_items(2);
    _validation_data.add(read.carried);
    if (const std::string exception = take_java_exception(env); !exception.empty()) {
        Trace(Trace_kind, Level_info) << exception;
        _signers.clear();
        _validation_data = {};
        return;
    }
    _timestamps = checked_document_stamps(bytes, read.stamps, _signers);
    _outcome = Pdf_outcome::Verified;
}

} // namespace velin
