#include "java_bridge/pdf_classes.h"

#include "common/trace.h"
#include "java_bridge/java_vm.h"

#include <algorithm>
#include <limits>

namespace velin {

const char* const Pdf_verify_class = "it/norax/coop/sigillo/JNI_Pdf_verify";
const char* const Pdf_sign_class = "it/norax/coop/sigillo/JNI_Pdf_sign";
const char* const Startup_workload_class = "it/norax/coop/sigillo/Startup_workload";

Java_class_binding::Java_class_binding(const char* class_path, const char* label, const char* method_prefix,
                                       std::vector<Java_method> methods)
    : _class_path(class_path), _label(label), _method_prefix(method_prefix), _methods(std::move(methods))
{}

Java_class_binding::~Java_class_binding()
{
    if (_env && _class)
        _env->DeleteLocalRef(_class);
}

bool Java_class_binding::bind(JNIEnv* env, const char* loading_text)
{
    Trace(Trace_kind, Level_info) << loading_text;
    _env = env;
    _class = env->FindClass(_class_path);
    if (!_class) {
        env->ExceptionClear();
        Trace(Trace_kind, Level_info) << "Caricamento della classe it/norax/coop/sigillo/" << _label << " fallito.";
        return false;
    }
    _constructor = env->GetMethodID(_class, "<init>", "()V");
    if (!_constructor) {
        env->ExceptionClear();
        Trace(Trace_kind, Level_info) << "Caricamento del costruttore di it/norax/coop/sigillo/" << _label
                                      << " fallito.";
        return false;
    }
    for (const Java_method& method : _methods) {
        jmethodID id = env->GetMethodID(_class, method.name, method.signature);
        if (!id) {
            env->ExceptionClear();
            Trace(Trace_kind, Level_info) << _method_prefix << method.name << " non disponibile.";
            return false;
        }
        _ids[method.name] = id;
    }
    return true;
}

jobject Java_class_binding::create(JNIEnv* env) const
{
    jobject object = env->NewObject(_class, _constructor);
    if (env->ExceptionCheck()) {
        env->ExceptionClear();
        return nullptr;
    }
    return object;
}

jbyteArray java_bytes(JNIEnv* env, std::span<const uint8_t> bytes)
{
    if (bytes.size() > static_cast<size_t>(std::numeric_limits<jsize>::max()))
        return nullptr;
    jbyteArray array = env->NewByteArray(static_cast<jsize>(bytes.size()));
    if (!array) {
        env->ExceptionClear();
        return nullptr;
    }
    env->SetByteArrayRegion(array, 0, static_cast<jsize>(bytes.size()), reinterpret_cast<const jbyte*>(bytes.data()));
    return array;
}

std::vector<uint8_t> native_bytes(JNIEnv* env, jbyteArray array)
{
    if (!array)
        return {};
    std::vector<uint8_t> bytes(static_cast<size_t>(env->GetArrayLength(array)));
    env->GetByteArrayRegion(array, 0, static_cast<jsize>(bytes.size()), reinterpret_cast<jbyte*>(bytes.data()));
    return bytes;
}

Java_byte_array::Java_byte_array(JNIEnv* env, jbyteArray array)
{
    if (!env || !array || env->GetJavaVM(&_machine) != JNI_OK)
        return;
    _array = static_cast<jbyteArray>(env->NewGlobalRef(array));
    if (_array)
        _size = static_cast<size_t>(env->GetArrayLength(_array));
}

Java_byte_array::~Java_byte_array()
{
    if (!_array || Java_vm::instance().machine() != _machine)
        return;
    const Jvm_thread thread(_machine);
    if (thread.env())
        thread.env()->DeleteGlobalRef(_array);
}

bool Java_byte_array::read(const std::function<bool(std::span<const uint8_t>)>& sink) const
{
    if (_size == 0)
        return true;
    if (Java_vm::instance().machine() != _machine)
        return false;
    const Jvm_thread thread(_machine);
    JNIEnv* env = thread.env();
    if (!env)
        return false;
    std::vector<uint8_t> piece(std::min(_size, Piece_size));
    for (size_t offset = 0; offset < _size;) {
        const size_t count = std::min(piece.size(), _size - offset);
        env->GetByteArrayRegion(_array, static_cast<jsize>(offset), static_cast<jsize>(count),
                                reinterpret_cast<jbyte*>(piece.data()));
        if (env->ExceptionCheck()) {
            env->ExceptionClear();
            return false;
        }
        if (!sink(std::span(piece.data(), count)))
            return false;
        offset += count;
    }
    return true;
}

std::string native_text(JNIEnv* env, jstring text)
{
    if (!text)
        return {};
    const char* chars = env->GetStringUTFChars(text, nullptr);
    if (!chars)
        return {};
    std::string result(chars);
    env->ReleaseStringUTFChars(text, chars);
    return result;
}

} // namespace velin
