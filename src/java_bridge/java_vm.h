// The one Java virtual machine of a process, loaded from an installed Java runtime through JNI:
// the runtime's choice, the class path of the suite's java folder, start on first use, attach
// and detach per thread, destruction at the program's end.
#pragma once

#include <jni.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace velin {

// One Java runtime: its home folder; the virtual machine's library lies below it.
struct Jre_info {
    std::string home;

    std::string library() const { return home + "/lib/server/libjvm.so"; }
};

// The runtimes of the system: each folder of root that has a "release" file, by folder name.
using Runtime_table = std::map<std::string, Jre_info>;

constexpr const char* Runtime_root = "/usr/lib/jvm";

// Writes "Java non rilevato." when there is none.
Runtime_table installed_runtimes(const std::string& root = Runtime_root);

// The setting JavaHome when it is not empty; else the system's default runtime ("default-java",
// the distribution's choice); else the runtime of the highest JAVA_VERSION.
std::optional<Jre_info> choose_runtime(const std::string& java_home_setting, const std::string& root = Runtime_root);

// "Successo", "Errore sconosciuto", ... or the code in decimal.
std::string jni_result_text(int code);
// Nothing for 0; otherwise the ERROR record "Operazione fallita.\n\nErrore JNI: %d %s".
void report_jni_result(int code);

// The suite's jars in class-path order, in java_folder: sigillo.jar, then the libraries it uses.
std::vector<std::string> class_path_jars(const std::string& java_folder);
// The java folder beside the program's folder: <program folder>/../java.
std::string suite_java_folder();

// The class archive the build and the installation make in the java folder, from the classes the
// PDF work loads.
constexpr const char* Class_archive_name = "sigillo.jsa";
// The machine's options for the archive in java_folder: none when there is no such file. A stale or
// damaged archive (the jars or the runtime changed since it was made) is passed over by the machine
// without a word, and the machine starts as it would without it.
std::vector<std::string> class_archive_options(const std::string& java_folder);

// What the user is told when PDF work needs a Java runtime that cannot be had.
extern const char* const Text_java_needed;
// The Java machine's maximum heap, in MiB (docs/verification.md says how it was chosen).
extern const int Java_max_heap_mb;

// A machine started for a document up to this size compiles with the quick compiler only.
constexpr uint64_t Quick_start_limit = 16 * 1024 * 1024;
// One started for a document up to this size has a roomier young generation (java_vm.cpp).
constexpr uint64_t Small_document_limit = 4 * 1024 * 1024;

constexpr uint32_t Jvm_started = 0;
constexpr uint32_t Jvm_already_running = 1;
constexpr uint32_t Jvm_failed = 0x80004005;

class Java_vm {
public:
    static Java_vm& instance();

    // Jvm_started, Jvm_already_running or Jvm_failed. Without a runtime no_runtime is called
    // (the program's Java message box). Any thread may call it at any time: the machine is made
    // once, and a thread that comes while it is being made waits for it and then uses it.
    // document_size: the size of the document it is started for; up to Quick_start_limit the
    // machine's start counts more than the speed of its compiled code (see java_vm.cpp).
    uint32_t start(uint64_t document_size = 0);
    // start() for Jvm_start_ahead, on a thread that tells the user nothing: a failure is kept,
    // and the next start() reports it as its own instead of trying again.
    uint32_t start_ahead(uint64_t document_size);
    // 0 when a machine was destroyed, 1 when there was none. A destroyed machine cannot be made
    // again in the same process: later starts fail.
    uint32_t destroy();

    JavaVM* machine() const { return _machine.load(); }

    // What happens when no runtime can be chosen; by default nothing but the trace.
    void set_no_runtime_handler(std::function<void()> handler) { _no_runtime = std::move(handler); }
    // For tests: where the runtimes are listed and the setting's value (instead of the machine
    // setting JavaHome), and the java folder; the runtime is chosen again at the next start.
    void set_sources_for_tests(std::string runtime_root, std::optional<std::string> java_home, std::string java_folder);

private:
    Java_vm() = default;
    uint32_t fail(const char* text);
    uint32_t start_locked(bool& no_runtime, uint64_t document_size);
    // The setting JavaHome (or the tests' value); "" when there is none.
    std::string java_home_setting() const;
    // The chosen runtime's machine library, loaded once; false (the reason traced) when it cannot be.
    bool load_library();
    // What JNI_CreateJavaVM gave, kept as the process's machine: Jvm_started, Jvm_already_running
    // (made before by someone else) or Jvm_failed.
    uint32_t keep_created(jint created, JavaVM* machine, JNIEnv* env);
    // A machine this process already has, made by whoever made it (JNI_GetCreatedJavaVMs).
    JavaVM* created_machine() const;

    // Held while the machine is chosen, made or destroyed.
    std::mutex _mutex;
    std::atomic<JavaVM*> _machine = nullptr;
    bool _destroyed = false;
    // A start ahead failed and no start() has reported it yet; true when there was no runtime.
    std::optional<bool> _ahead_failure;
    std::optional<Jre_info> _runtime;
    void* _library = nullptr;
    std::function<void()> _no_runtime;
    std::string _runtime_root = Runtime_root;
    std::optional<std::string> _java_home_for_tests;
    std::string _java_folder_for_tests;
};

// The calling thread attached to the machine for the object's life (detached afterwards unless
// it was attached before).
class Jvm_thread {
public:
    explicit Jvm_thread(JavaVM* machine);
    ~Jvm_thread();
    Jvm_thread(const Jvm_thread&) = delete;
    Jvm_thread& operator=(const Jvm_thread&) = delete;

    // Null when the thread could not be attached.
    JNIEnv* env() const { return _env; }

private:
    JavaVM* _machine;
    JNIEnv* _env = nullptr;
    bool _attached_here = false;
};

// The machine started on a thread of its own for a document that will need it, while the
// program sets itself up and reads the document; then prepare runs on that thread, attached. A
// start() meanwhile waits for the machine. The object's end waits for the thread.
class Jvm_start_ahead {
public:
    Jvm_start_ahead(uint64_t document_size, std::function<void(JNIEnv*)> prepare);
    ~Jvm_start_ahead();
    Jvm_start_ahead(const Jvm_start_ahead&) = delete;
    Jvm_start_ahead& operator=(const Jvm_start_ahead&) = delete;

private:
    std::thread _thread;
};

// The text and the pending Java exception's description, cleared; "" when none is pending.
std::string take_java_exception(JNIEnv* env);

} // namespace velin
