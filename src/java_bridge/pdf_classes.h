// The suite's side of the PDF classes in the Java machine: a class bound with its constructor and
// methods (the first one missing fails the binding with its text), an instance of it, and the
// JNI calls the verifier and the signer make.
#pragma once

#include <jni.h>

#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace velin {

struct Java_method {
    const char* name;
    const char* signature;
};

class Java_class_binding {
public:
    // class_path "it/norax/coop/sigillo/JNI_Pdf_verify"; label "Pdf_verify" and method_prefix
    // "pdf_verify." make the failure texts.
    Java_class_binding(const char* class_path, const char* label, const char* method_prefix,
                       std::vector<Java_method> methods);
    ~Java_class_binding();

    // INFO loading text first; false after the INFO record of the first missing piece.
    bool bind(JNIEnv* env, const char* loading_text);
    // A new instance (a local reference), or null.
    jobject create(JNIEnv* env) const;
    jmethodID method(const char* name) const { return _ids.at(name); }

private:
    const char* _class_path;
    std::string _label;
    std::string _method_prefix;
    std::vector<Java_method> _methods;
    JNIEnv* _env = nullptr;
    jclass _class = nullptr;
    jmethodID _constructor = nullptr;
    std::map<std::string, jmethodID> _ids;
};

// Local references of one call, deleted when it ends.
class Local_refs {
public:
    explicit Local_refs(JNIEnv* env) : _env(env) {}
    ~Local_refs()
    {
        for (jobject object : _objects)
            if (object)
                _env->DeleteLocalRef(object);
    }
    template <class T>
    T keep(T object)
    {
        _objects.push_back(object);
        return object;
    }

private:
    JNIEnv* _env;
    std::vector<jobject> _objects;
};

// A Java byte array holding bytes (a local reference), or null.
jbyteArray java_bytes(JNIEnv* env, std::span<const uint8_t> bytes);
// The bytes of a Java byte array; empty for null.
std::vector<uint8_t> native_bytes(JNIEnv* env, jbyteArray array);
// The text of a Java string (modified UTF-8 as the machine gives it); empty for null.
std::string native_text(JNIEnv* env, jstring text);

// A Java byte array kept beyond the call that made it (a global reference) and read out in
// pieces, so that a large array is never copied whole into the process's own memory. It lets go
// of the array when destroyed, unless the machine is gone by then (and the array with it).
class Java_byte_array {
public:
    static constexpr size_t Piece_size = 64 * 1024;

    // An empty holder for a null array or when no global reference can be made.
    Java_byte_array(JNIEnv* env, jbyteArray array);
    ~Java_byte_array();
    Java_byte_array(const Java_byte_array&) = delete;
    Java_byte_array& operator=(const Java_byte_array&) = delete;

    bool empty() const { return _size == 0; }
    // The array (a global reference), null when empty; valid for the holder's life.
    jbyteArray array() const { return _array; }
    size_t size() const { return _size; }
    // Hands the bytes to sink in order, in pieces of at most Piece_size bytes. False when the
    // machine is gone, the thread cannot be attached or sink refuses a piece (it is not called
    // again then).
    bool read(const std::function<bool(std::span<const uint8_t>)>& sink) const;

private:
    JavaVM* _machine = nullptr;
    jbyteArray _array = nullptr;
    size_t _size = 0;
};

extern const char* const Pdf_verify_class;
extern const char* const Pdf_sign_class;
extern const char* const Startup_workload_class;

} // namespace velin
