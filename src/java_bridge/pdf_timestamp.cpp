#include "java_bridge/pdf_timestamp.h"

#include "common/trace.h"
#include "java_bridge/java_vm.h"
#include "java_bridge/pdf_classes.h"

namespace velin {

const char* const Pdf_timestamp_class = "it/norax/coop/sigillo/JNI_Pdf_timestamp";
const char* const Text_pdf_timestamp_failed = "Non è stato possibile aggiungere la marca temporale al documento PDF.";

jbyteArray pdf_with_document_timestamp(JNIEnv* env, jbyteArray pdf, const Digest_stamper& stamp, std::string& failure)
{
    failure = Text_pdf_timestamp_failed;
    Local_refs refs(env);
    Java_class_binding binding(Pdf_timestamp_class, "JNI_Pdf_timestamp", "pdf_timestamp.",
                               {{"prepare", "([B)[B"},
                                {"finish", "([B)[B"},
                                {"error", "()I"},
                                {"exception_stack", "()Ljava/lang/String;"},
                                {"dispose", "()V"}});
    if (!pdf || !binding.bind(env, "Carica la classe per la marca temporale PDF.."))
        return nullptr;
    jobject stamper = refs.keep(binding.create(env));
    if (!stamper)
        return nullptr;
    const auto java_failure = [&](const char* step) {
        const std::string exception = take_java_exception(env);
        auto stack = refs.keep(static_cast<jstring>(env->CallObjectMethod(stamper, binding.method("exception_stack"))));
        take_java_exception(env);
        Trace(Trace_kind, Level_info) << step << " " << exception << native_text(env, stack);
        env->CallVoidMethod(stamper, binding.method("dispose"));
        take_java_exception(env);
    };

    auto digest = refs.keep(static_cast<jbyteArray>(env->CallObjectMethod(stamper, binding.method("prepare"), pdf)));
    const std::vector<uint8_t> imprint = native_bytes(env, digest);
    if (env->ExceptionCheck() || imprint.size() != 32) {
        java_failure("Preparazione della marca temporale PDF fallita.");
        return nullptr;
    }
    std::string refusal;
    const std::optional<std::vector<uint8_t>> token = stamp(imprint, refusal);
    if (!token) {
        failure = refusal;
        env->CallVoidMethod(stamper, binding.method("dispose"));
        take_java_exception(env);
        return nullptr;
    }
    jbyteArray token_array = refs.keep(java_bytes(env, *token));
    auto stamped = token_array
                       ? static_cast<jbyteArray>(env->CallObjectMethod(stamper, binding.method("finish"), token_array))
                       : nullptr;
    if (env->ExceptionCheck() || !stamped) {
        if (stamped)
            env->DeleteLocalRef(stamped);
        java_failure("Inserimento della marca temporale PDF fallito.");
        return nullptr;
    }
    failure.clear();
    return stamped;
}

} // namespace velin
