#include "norax_sign/pdf_card_signer.h"

#include "card_channel/card_provider.h"
#include "common/file_io.h"
#include "common/message_box.h"
#include "common/trace.h"
#include "java_bridge/java_vm.h"
#include "java_bridge/pdf_classes.h"
#include "java_bridge/pdf_timestamp.h"
#include "norax_sign/sign_batch.h"

#include <openssl/crypto.h>

#include <cerrno>
#include <map>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

namespace velin {

const char* const Text_already_signed_question =
    "Questo documento è già firmato. La nuova firma verrà aggiunta a quella attuale.\n\nVuoi applicare una nuova "
    "firma?";
const char* const Text_certified_unchangeable =
    "Il documento è certificato dal suo autore con una firma che non consente alcuna modifica: una nuova firma "
    "renderebbe non valida la certificazione, per cui il documento non può essere firmato.";
const char* const Text_locked_unchangeable =
    "Il documento contiene una firma che ne blocca i campi e non consente altre modifiche: una nuova firma "
    "renderebbe non valido il blocco, per cui il documento non può essere firmato.";

namespace {

// A step that failed: its text becomes the ERROR record.
struct Step_failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The token refused the PIN: code is Result_pin_wrong or Result_pin_blocked.
struct Pin_refusal {
    uint32_t code;
};

// The signing class's error() when the token refused the login.
constexpr int Java_pin_refused = 9, Java_pin_blocked = 10;

void info(const char* text)
{
    Trace(Trace_kind, Level_info) << text;
}

// The slot of the reader's token, as the PKCS#7 signer finds it; -1 when there is none. Once the
// Java provider has the module initialised, the module cannot be loaded a second time beside
// it: a slot found is kept for the rest of the process.
long long token_slot(const std::string& module, const std::string& reader_name)
{
    static std::map<std::pair<std::string, std::string>, long long> found;
    if (const auto known = found.find({module, reader_name}); known != found.end())
        return known->second;
    try {
        const Card_provider provider(module, reader_name);
        const auto slot = static_cast<long long>(provider.slot_id());
        found[{module, reader_name}] = slot;
        return slot;
    } catch (const std::exception& error) {
        Trace(Trace_kind, Level_info) << error.what();
        return -1;
    }
}

// The PIN as a Java char array (a local reference), or null. The array is the machine's only copy:
// the signing class wipes it, and so does wipe_java_pin; the bytes on the way are wiped here.
jcharArray java_pin(JNIEnv* env, std::string_view pin)
{
    std::vector<jchar> chars(pin.size());
    for (size_t i = 0; i < pin.size(); ++i)
        chars[i] = static_cast<unsigned char>(pin[i]);
    jcharArray array = env->NewCharArray(static_cast<jsize>(chars.size()));
    if (array)
        env->SetCharArrayRegion(array, 0, static_cast<jsize>(chars.size()), chars.data());
    else
        env->ExceptionClear();
    OPENSSL_cleanse(chars.data(), chars.size() * sizeof(jchar));
    return array;
}

void wipe_java_pin(JNIEnv* env, jcharArray array)
{
    if (!array)
        return;
    const std::vector<jchar> zeros(static_cast<size_t>(env->GetArrayLength(array)));
    env->SetCharArrayRegion(array, 0, static_cast<jsize>(zeros.size()), zeros.data());
    env->ExceptionClear();
}

// The signed PDF as the signing class returned it, written to the file straight from the
// machine's array.
class Java_signed_pdf : public Held_bytes {
public:
    Java_signed_pdf(JNIEnv* env, jbyteArray array) : _array(env, array) {}

    uint64_t size() const override { return _array.size(); }
    bool write_to(int descriptor) const override
    {
        errno = 0;
        if (_array.read([descriptor](std::span<const uint8_t> piece) { return write_all(descriptor, piece); }))
            return true;
        if (errno == 0)
            errno = EIO;
        return false;
    }
    jbyteArray array() const { return _array.array(); }

private:
    Java_byte_array _array;
};

std::optional<Signed_output> stamped_in_machine(JNIEnv* env, jbyteArray pdf, const Signature_stamper& stamp,
                                                std::string& failure)
{
    info("Marca temporale del documento PDF..");
    Local_refs references(env);
    jbyteArray stamped = references.keep(pdf_with_document_timestamp(env, pdf, stamp, failure));
    if (!stamped)
        return std::nullopt;
    Signed_output output;
    output.held = std::make_shared<Java_signed_pdf>(env, stamped);
    info("Marca temporale aggiunta.");
    return output;
}

// One instance of the PDF signing class, from its creation to its disposal when the object ends.
// A step that fails throws Step_failure, or Pin_refusal when the token refused the PIN.
class Pdf_sign_session {
public:
    using Ask = std::function<int(const std::string&, unsigned)>;

    Pdf_sign_session(JNIEnv* env, const Ask& ask) : _env(env), _ask(ask), _references(env) {}
    ~Pdf_sign_session()
    {
        if (!_instance)
            return;
        _env->CallVoidMethod(_instance, method("dispose"));
        take_java_exception(_env);
        _env->DeleteLocalRef(_instance);
    }
    Pdf_sign_session(const Pdf_sign_session&) = delete;
    Pdf_sign_session& operator=(const Pdf_sign_session&) = delete;

    void create()
    {
        _binding.emplace(Pdf_sign_class, "Pdf_sign", "pdf_sign.",
                         std::vector<Java_method>{{"is_signed", "([B)Z"},
                                                  {"certification_level", "()I"},
                                                  {"locked", "()Z"},
                                                  {"initialize", "(I)V"},
                                                  {"error", "()I"},
                                                  {"exception_stack", "()Ljava/lang/String;"},
                                                  {"load_store", "([C)V"},
                                                  {"sign", "([BZ)[B"},
                                                  {"dispose", "()V"},
                                                  {"use_token", "(Ljava/lang/String;J)V"}});
        if (!_binding->bind(_env, "Carica la classe per la firma PDF.."))
            throw Step_failure("Caricamento della classe per la firma fallito.");
        info("Istanzia la classe per la firma PDF..");
        _instance = _binding->create(_env);
        if (!_instance)
            throw Step_failure("Creazione della classe per la firma fallito.");
    }

    // The machine's copy of the document.
    jbyteArray copy_of(std::span<const uint8_t> document)
    {
        info("Copia il documento in memoria..");
        jbyteArray pdf = _references.keep(java_bytes(_env, document));
        if (!pdf)
            throw Step_failure("Copia del documento in memoria fallito.");
        return pdf;
    }

    bool is_signed(jbyteArray pdf)
    {
        const bool signed_before = _env->CallBooleanMethod(_instance, method("is_signed"), pdf) == JNI_TRUE;
        take_java_exception(_env);
        return signed_before;
    }

    // A further signature would break a certification that allows no change, or a lock of the
    // document's fields: refused before the card is asked for anything.
    void refuse_unchangeable()
    {
        if (_env->CallIntMethod(_instance, method("certification_level")) == 1) {
            take_java_exception(_env);
            _ask(Text_certified_unchangeable, MB_OK | MB_ICONERROR);
            throw Step_failure("Firma rifiutata: il documento è certificato senza modifiche consentite.");
        }
        if (_env->CallBooleanMethod(_instance, method("locked")) == JNI_TRUE) {
            take_java_exception(_env);
            _ask(Text_locked_unchangeable, MB_OK | MB_ICONERROR);
            throw Step_failure("Firma rifiutata: una firma del documento ne blocca le modifiche.");
        }
    }

    // The token of the module's slot, for the card in reader reader_index.
    void open_token(const std::string& module, long long slot, size_t reader_index)
    {
        jstring module_text = _references.keep(_env->NewStringUTF(module.c_str()));
        _env->CallVoidMethod(_instance, method("use_token"), module_text, static_cast<jlong>(slot));
        _env->CallVoidMethod(_instance, method("initialize"), static_cast<jint>(reader_index));
        if (!take_java_exception(_env).empty())
            throw Step_failure("Inizializzazione della firma fallito.");
        check_error();
    }

    void log_in(const Pin_text& pin)
    {
        jcharArray pin_chars = _references.keep(java_pin(_env, pin.view()));
        if (!pin_chars)
            throw Step_failure("Allocazione stringa fallita.");
        _env->CallVoidMethod(_instance, method("load_store"), pin_chars);
        take_java_exception(_env);
        wipe_java_pin(_env, pin_chars);
        // A refused PIN is the batch's to say, once: trying it on the next document could block
        // the card.
        const jint login = _env->CallIntMethod(_instance, method("error"));
        if (login == Java_pin_refused || login == Java_pin_blocked) {
            info("Login fallito: il PIN è stato rifiutato.");
            throw Pin_refusal{login == Java_pin_blocked ? Result_pin_blocked : Result_pin_wrong};
        }
        check_error();
    }

    // The signed document stays in the machine until it is written to its file.
    Signed_output sign(jbyteArray pdf)
    {
        info("Firma..");
        auto signed_pdf = _references.keep(static_cast<jbyteArray>(
            _env->CallObjectMethod(_instance, method("sign"), pdf, static_cast<jboolean>(JNI_TRUE))));
        take_java_exception(_env);
        if (!signed_pdf)
            throw Step_failure("Recupero documento firmato fallito.");
        info("Recupero documento firmato..");
        auto held = std::make_shared<Java_signed_pdf>(_env, signed_pdf);
        if (held->size() == 0)
            throw Step_failure("Recupero buffer firmato fallito.");
        Signed_output output;
        output.held = std::move(held);
        return output;
    }

private:
    jmethodID method(const char* name) const { return _binding->method(name); }

    // The class's error() after a step, shown to the user when it is not 0.
    void check_error()
    {
        const jint code = _env->CallIntMethod(_instance, method("error"));
        if (code != 0) {
            _ask(pdf_sign_error_text(code), MB_OK | MB_ICONERROR);
            throw Step_failure("Operazione fallita.");
        }
    }

    JNIEnv* _env;
    const Ask& _ask;
    Local_refs _references;
    std::optional<Java_class_binding> _binding;
    jobject _instance = nullptr;
};

} // namespace

std::optional<Signed_output> timestamped_pdf(std::span<const uint8_t> pdf, const Signature_stamper& stamp,
                                             std::string& failure)
{
    failure = Text_pdf_timestamp_failed;
    Java_vm& machine = Java_vm::instance();
    if (machine.start(pdf.size()) == Jvm_failed) {
        failure = Text_java_needed;
        return std::nullopt;
    }
    Jvm_thread thread(machine.machine());
    JNIEnv* env = thread.env();
    if (!env)
        return std::nullopt;
    Local_refs references(env);
    jbyteArray array = references.keep(java_bytes(env, pdf));
    if (!array)
        return std::nullopt;
    return stamped_in_machine(env, array, stamp, failure);
}

bool Pdf_card_signer::timestamp_result(const Signature_stamper& stamp, std::string& failure)
{
    failure = Text_pdf_timestamp_failed;
    const auto* signed_pdf = dynamic_cast<const Java_signed_pdf*>(result().held.get());
    if (!succeeded() || !signed_pdf)
        return false;
    Jvm_thread thread(Java_vm::instance().machine());
    if (!thread.env())
        return false;
    std::optional<Signed_output> stamped = stamped_in_machine(thread.env(), signed_pdf->array(), stamp, failure);
    if (!stamped)
        return false;
    succeed(std::move(*stamped));
    return true;
}

std::string pdf_sign_error_text(int code)
{
    switch (code) {
    case 4:
        return "Installare il Software Velin.";
    case 5:
        return "Carta non inserita.";
    case 6:
        return "Il documento è già firmato.";
    default:
        return "Errore durante l'esecuzione della firma.";
    }
}

Pdf_card_signer::Pdf_card_signer(size_t reader_index, std::string reader_name,
                                 std::function<int(const std::string&, unsigned)> ask, std::string module_path)
    : _reader_index(reader_index),
      _reader_name(std::move(reader_name)),
      _ask(std::move(ask)),
      _module_path(std::move(module_path))
{}

void Pdf_card_signer::sign(const Pin_text& pin, std::span<const uint8_t> document, unsigned)
{
    sign_document(pin, document, nullptr);
}

void Pdf_card_signer::sign_releasing(const Pin_text& pin, std::vector<uint8_t>& document, unsigned)
{
    sign_document(pin, document, &document);
}

void Pdf_card_signer::sign_document(const Pin_text& pin, std::span<const uint8_t> document,
                                    std::vector<uint8_t>* release)
{
    fail(Result_failed);
    info("Firma PDF");
    Java_vm& machine = Java_vm::instance();
    if (machine.start(document.size()) == Jvm_failed) {
        Trace(Trace_kind, Level_warn) << Text_java_needed;
        fail(Result_cancelled);
        return;
    }

    Jvm_thread thread(machine.machine());
    JNIEnv* env = thread.env();
    if (!env) {
        Trace(Trace_kind, Level_error) << "Caricamento Java fallito.";
        return;
    }
    Pdf_sign_session session(env, _ask);
    try {
        session.create();
        jbyteArray pdf = session.copy_of(document);
        if (release) {
            // From here on the machine's copy is the document.
            std::vector<uint8_t>().swap(*release);
            document = {};
        }
        const bool already_signed = session.is_signed(pdf);
        session.refuse_unchangeable();
        if (already_signed && _ask(Text_already_signed_question, MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) != IDYES) {
            info("Firma annullata.");
            fail(Result_cancelled);
            return;
        }
        info("Inizializzazione firma..");
        const std::string module = _module_path.empty() ? pkcs11_module_path() : _module_path;
        session.open_token(module, token_slot(module, _reader_name), _reader_index);
        session.log_in(pin);
        Signed_output output = session.sign(pdf);
        info("Firma completata con successo.");
        succeed(std::move(output));
    } catch (const Step_failure& failure) {
        Trace(Trace_kind, Level_error) << failure.what();
        fail(Result_failed);
    } catch (const Pin_refusal& refusal) {
        fail(refusal.code);
    }
}

} // namespace velin
