#include "java_bridge/java_vm.h"

#include "common/failure.h"
#include "common/registry.h"
#include "common/trace.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <utility>

namespace velin {

namespace fs = std::filesystem;

const int Java_max_heap_mb = 512;

const char* const Text_java_needed =
    "Questa funzione richiede la disponibilità di un ambiente Java.\n\nSe su questa macchina è installato un "
    "ambiente Java,\nrivedere le impostazioni di Velin Manager.\n\nSe non ci sono ambienti Java installati, è "
    "possibile\nscaricarne e installarne uno. È possibile che le impostazioni\ndi Velin Manager vadano poi "
    "corrette.";

namespace {

// "17.0.15" → {17, 0, 15}: versions compare number by number.
std::vector<int> version_numbers(const std::string& text)
{
    std::vector<int> numbers;
    int current = -1;
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            current = (current < 0 ? 0 : current * 10) + (c - '0');
            if (current > 1000000)
                current = 1000000;
        } else if (current >= 0) {
            numbers.push_back(current);
            current = -1;
        }
    }
    if (current >= 0)
        numbers.push_back(current);
    return numbers;
}

std::string release_version(const fs::path& release)
{
    std::ifstream in(release);
    std::string line;
    for (int lines = 0; lines < 200 && std::getline(in, line); ++lines)
        if (line.rfind("JAVA_VERSION=", 0) == 0) {
            std::string value = line.substr(13);
            value.erase(std::remove(value.begin(), value.end(), '"'), value.end());
            return value;
        }
    return {};
}

using Get_default_args = jint(JNICALL*)(void*);
using Create_vm = jint(JNICALL*)(JavaVM**, void**, void*);
using Created_vms = jint(JNICALL*)(JavaVM**, jsize, jsize*);

constexpr const char* Companion_jars[] = {"pdfbox2.jar", "fontbox2.jar", "bcprov.jar",
                                          "bcpkix.jar",  "bcutil.jar",   "commons-logging.jar"};

} // namespace

Runtime_table installed_runtimes(const std::string& root)
{
    Runtime_table table;
    std::error_code error;
    for (fs::directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        std::error_code status;
        if (fs::is_regular_file(it->path() / "release", status))
            table[it->path().filename().string()] = Jre_info{it->path().string()};
    }
    if (table.empty())
        Trace(Trace_kind, Level_info) << "Java non rilevato.";
    return table;
}

std::optional<Jre_info> choose_runtime(const std::string& java_home_setting, const std::string& root)
{
    if (!java_home_setting.empty())
        return Jre_info{java_home_setting};
    const Runtime_table table = installed_runtimes(root);
    if (const auto it = table.find("default-java"); it != table.end())
        return it->second;
    std::optional<Jre_info> newest;
    std::vector<int> newest_version;
    for (const auto& [name, runtime] : table) {
        const std::vector<int> version = version_numbers(release_version(fs::path(runtime.home) / "release"));
        if (!newest || version > newest_version) {
            newest = runtime;
            newest_version = version;
        }
    }
    return newest;
}

std::string jni_result_text(int code)
{
    switch (code) {
    case 0:
        return "Successo";
    case -1:
        return "Errore sconosciuto";
    case -2:
        return "Thread non collegato alla JVM";
    case -3:
        return "Versione Java non disponibile";
    case -4:
        return "Memoria insufficiente";
    case -5:
        return "JVM già in esecuzione";
    case -6:
        return "Parametri non validi";
    default:
        return std::to_string(code);
    }
}

void report_jni_result(int code)
{
    if (code != 0)
        Trace(Trace_kind, Level_error) << "Operazione fallita.\n\nErrore JNI: " << code << " " << jni_result_text(code);
}

std::vector<std::string> class_path_jars(const std::string& java_folder)
{
    std::vector<std::string> jars{(fs::path(java_folder) / "sigillo.jar").string()};
    for (const char* jar : Companion_jars)
        jars.push_back((fs::path(java_folder) / jar).string());
    return jars;
}

std::vector<std::string> class_archive_options(const std::string& java_folder)
{
    const fs::path archive = fs::path(java_folder) / Class_archive_name;
    std::error_code error;
    if (!fs::is_regular_file(archive, error) || fs::file_size(archive, error) == 0 || error)
        return {};
    // "auto", never "on": an archive the machine cannot use must not stop it from starting. Its
    // reasons for passing one over would go to the program's standard output, where the batch
    // mode writes its report.
    return {"-Xshare:auto", "-XX:SharedArchiveFile=" + archive.string(), "-Xlog:cds*=off"};
}

std::string suite_java_folder()
{
    std::error_code error;
    const fs::path program = fs::read_symlink("/proc/self/exe", error);
    if (error)
        return {};
    return (program.parent_path().parent_path() / "java").string();
}

Java_vm& Java_vm::instance()
{
    static Java_vm machine;
    return machine;
}

void Java_vm::set_sources_for_tests(std::string runtime_root, std::optional<std::string> java_home,
                                    std::string java_folder)
{
    const std::lock_guard lock(_mutex);
    _runtime_root = std::move(runtime_root);
    _java_home_for_tests = std::move(java_home);
    _java_folder_for_tests = std::move(java_folder);
    // Choose again (a machine that runs keeps its runtime).
    if (!_machine)
        _runtime.reset();
}

uint32_t Java_vm::fail(const char* text)
{
    Trace(Trace_kind, Level_info) << text;
    return Jvm_failed;
}

uint32_t Java_vm::start(uint64_t document_size)
{
    if (_machine.load())
        return Jvm_already_running;
    bool no_runtime = false;
    uint32_t result;
    {
        // A process has one machine: a second JNI_CreateJavaVM beside a first one that is still
        // being made fails with JNI_EEXIST, so the lanes of a many-file run wait here for the
        // first one's, and every start for a start ahead.
        const std::lock_guard lock(_mutex);
        if (_ahead_failure) {
            // Its reasons are in the trace already; a second attempt would only repeat them.
            no_runtime = *std::exchange(_ahead_failure, std::nullopt);
            result = Jvm_failed;
        } else {
            result = start_locked(no_runtime, document_size);
        }
    }
    // The box, outside the lock: a lane that waits for it holds up no other.
    if (no_runtime && _no_runtime)
        _no_runtime();
    return result;
}

uint32_t Java_vm::start_ahead(uint64_t document_size)
{
    if (_machine.load())
        return Jvm_already_running;
    const std::lock_guard lock(_mutex);
    bool no_runtime = false;
    const uint32_t result = start_locked(no_runtime, document_size);
    if (result == Jvm_failed)
        _ahead_failure = no_runtime;
    return result;
}

JavaVM* Java_vm::created_machine() const
{
    auto created_vms = reinterpret_cast<Created_vms>(_library ? ::dlsym(_library, "JNI_GetCreatedJavaVMs") : nullptr);
    JavaVM* machine = nullptr;
    jsize count = 0;
    if (!created_vms || created_vms(&machine, 1, &count) != JNI_OK || count < 1)
        return nullptr;
    return machine;
}

namespace {

// -Djava.class.path= with the suite's jars in folder.
std::string class_path_option(const std::string& folder)
{
    std::string class_path = "-Djava.class.path=";
    const std::vector<std::string> jars = class_path_jars(folder);
    for (size_t i = 0; i < jars.size(); ++i)
        class_path += (i ? ":" : "") + jars[i];
    return class_path;
}

// A small first heap and the serial collector keep the machine's memory near what the documents
// need, in a desktop program that is not a server. The young generation stays small (it would
// grow with the heap to a third of it, all of it touched between two collections), so a
// document's arrays go straight to the old one, and the heap grows and shrinks by little around
// what is alive: signing a 10 MB PDF took about 40 MB without these three, about 25 MB with them,
// with no measurable cost to verification. The heap has a ceiling of its own, not a share of the
// machine's memory: a hostile document ends in an OutOfMemoryError the classes report, and
// signing needs about 2.6 times the document. For a small document the young generation has
// 8 MB: with 2 MB, the first 1 MB PDF took nine collections, two of them of the whole heap, as
// its copies and the parser's objects were moved on to the old generation, and with 8 MB one or
// two, for about 6 MB more.
std::vector<std::string> heap_options(uint64_t document_size)
{
    const bool small = document_size <= Small_document_limit;
    return {
        "-Xmx" + std::to_string(Java_max_heap_mb) + "m", // the ceiling
        "-XX:+UseSerialGC",
        small ? "-Xms16m" : "-Xms8m", // the first heap
        small ? "-Xmn8m" : "-XX:MaxNewSize=2m", // the young generation
        "-XX:MinHeapFreeRatio=10", // growing and shrinking by little
        "-XX:MaxHeapFreeRatio=20",
    };
}

// The quick compiler alone: a 1 MB PDF verified in a new process took a quarter to a third less
// processor time, and 1,000 small PDFs in one run almost half, since the optimising compiler's
// work and the profiled code before it do not pay back over documents this small. A large
// document's digests run ten times faster in the optimising compiler's code (its SHA-256 uses
// the processor's instructions): a 60 MB PDF took 2.7 s with both, 4.3 s with the quick one.
// The first document decides for the life of the process. With the quick compiler alone, one
// compiler thread: on two cores a second one only competed with the verification for them
// (the 1 MB PDF in a new process, 25 alternating runs: median 527 ms against 566 ms, 55 ms
// less processor time; 1,000 small PDFs in one run as fast as before).
std::vector<std::string> compiler_options(uint64_t document_size)
{
    if (document_size > Quick_start_limit)
        return {};
    return {"-XX:TieredStopAtLevel=1", "-XX:CICompilerCount=1"};
}

// Everything the machine is started with, for the classes in folder.
std::vector<std::string> machine_options(const std::string& class_path, const std::string& folder,
                                         uint64_t document_size)
{
    // -Xrs leaves the program's interrupt and termination signals to the program; PDFBox keeps
    // its font cache in the user's private folder instead of the home folder, and the PDF
    // reader's scratch file goes there too. The libraries' own log lines (PDFBox's font
    // warnings) would reach the user's terminal.
    const std::string private_folder = private_runtime_folder();
    std::vector<std::string> texts = {class_path,
                                      "-Xrs",
                                      "-Djava.awt.headless=true",
                                      "-Dpdfbox.fontcache=" + private_folder,
                                      "-Dvelin.private_folder=" + private_folder,
                                      "-Dorg.apache.commons.logging.Log=org.apache.commons.logging.impl.NoOpLog"};
    const auto append = [&texts](std::vector<std::string> more) {
        for (std::string& option : more)
            texts.push_back(std::move(option));
    };
    append(heap_options(document_size));
    // The classes of the PDF work come ready from the archive instead of being read from the jars
    // and checked one by one.
    append(class_archive_options(folder));
    append(compiler_options(document_size));
    // No performance-data file for the monitoring tools, which the machine would keep in the
    // shared temporary folder under the user's name.
    texts.push_back("-XX:-UsePerfData");
    return texts;
}

// JNI_CreateJavaVM with these options.
jint create_machine(Create_vm create_vm, std::vector<std::string> texts, JavaVM*& machine, JNIEnv*& env)
{
    std::vector<JavaVMOption> options(texts.size());
    for (size_t i = 0; i < texts.size(); ++i)
        options[i].optionString = texts[i].data();
    JavaVMInitArgs arguments{};
    arguments.version = JNI_VERSION_1_6;
    arguments.nOptions = static_cast<jint>(options.size());
    arguments.options = options.data();
    arguments.ignoreUnrecognized = JNI_FALSE;
    return create_vm(&machine, reinterpret_cast<void**>(&env), &arguments);
}

} // namespace

std::string Java_vm::java_home_setting() const
{
    if (_java_home_for_tests)
        return *_java_home_for_tests;
    const Registry_text_read read = read_text(Registry_root::Local_machine, Settings_key, "JavaHome");
    return read.succeeded() ? read.value() : std::string();
}

bool Java_vm::load_library()
{
    if (_library)
        return true;
    _library = ::dlopen(_runtime->library().c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (!_library)
        Trace(Trace_kind, Level_info) << ::dlerror();
    return _library != nullptr;
}

uint32_t Java_vm::keep_created(jint created, JavaVM* machine, JNIEnv* env)
{
    if (created == JNI_EEXIST) {
        // Made in this process by someone else: that one is ours too.
        if (JavaVM* existing = created_machine()) {
            _machine = existing;
            return Jvm_already_running;
        }
    }
    report_jni_result(created);
    if (created != JNI_OK || !machine)
        return fail("JVM non disponibile.");
    if (!env)
        return fail("Ambiente JNI non disponibile.");
    // The creating thread stays attached; detaching it lets a later Jvm_thread attach it again.
    machine->DetachCurrentThread();
    _machine = machine;
    return Jvm_started;
}

uint32_t Java_vm::start_locked(bool& no_runtime, uint64_t document_size)
{
    if (_machine.load())
        return Jvm_already_running;
    if (_destroyed)
        return fail("JVM non disponibile.");

    if (!_runtime) {
        _runtime = choose_runtime(java_home_setting(), _runtime_root);
        if (!_runtime) {
            no_runtime = true;
            return Jvm_failed;
        }
    }
    if (!load_library())
        return fail("Caricamento della libreria Java fallito.");
    auto get_default_args = reinterpret_cast<Get_default_args>(::dlsym(_library, "JNI_GetDefaultJavaVMInitArgs"));
    auto create_vm = reinterpret_cast<Create_vm>(::dlsym(_library, "JNI_CreateJavaVM"));
    if (!get_default_args || !create_vm)
        return fail("Caricamento della libreria Java fallito.");

    Trace(Trace_kind, Level_info) << "Impostazione di JAVA_HOME.";
    if (::setenv("JAVA_HOME", _runtime->home.c_str(), 1) != 0)
        return fail("Impostazione della variabile JAVA_HOME fallito.");

    Trace(Trace_kind, Level_info) << "Inizializzazione JVM..";
    JavaVMInitArgs defaults{};
    defaults.version = JNI_VERSION_1_6;
    report_jni_result(get_default_args(&defaults));

    Trace(Trace_kind, Level_info) << "Inizializzazione percorso librerie Java di Velin Manager.";
    const std::string folder = _java_folder_for_tests.empty() ? suite_java_folder() : _java_folder_for_tests;
    if (folder.empty())
        return fail("Lettura percorso eseguibile fallita.");
    const std::string class_path = class_path_option(folder);
    Trace(Trace_kind, Level_info) << "Librerie:" << class_path;

    // The machine must find our fault handlers in place, so that it passes on the faults that
    // are not its own and we never replace its handlers afterwards.
    install_fault_handlers();
    std::vector<std::string> options = machine_options(class_path, folder, document_size);

    Trace(Trace_kind, Level_info) << "Carica la JVM.";
    JavaVM* machine = nullptr;
    JNIEnv* env = nullptr;
    const jint created = create_machine(create_vm, std::move(options), machine, env);
    return keep_created(created, machine, env);
}

uint32_t Java_vm::destroy()
{
    const std::lock_guard lock(_mutex);
    JavaVM* machine = _machine.exchange(nullptr);
    if (!machine)
        return 1;
    machine->DestroyJavaVM();
    _destroyed = true;
    return 0;
}

Jvm_thread::Jvm_thread(JavaVM* machine) : _machine(machine)
{
    if (!_machine)
        return;
    if (_machine->GetEnv(reinterpret_cast<void**>(&_env), JNI_VERSION_1_6) == JNI_OK)
        return;
    _env = nullptr;
    const jint result = _machine->AttachCurrentThread(reinterpret_cast<void**>(&_env), nullptr);
    report_jni_result(result);
    if (result == JNI_OK)
        _attached_here = true;
    else
        _env = nullptr;
}

Jvm_thread::~Jvm_thread()
{
    if (_attached_here)
        _machine->DetachCurrentThread();
}

Jvm_start_ahead::Jvm_start_ahead(uint64_t document_size, std::function<void(JNIEnv*)> prepare)
{
    try {
        _thread = std::thread([document_size, prepare = std::move(prepare)] {
            try {
                Java_vm& machine = Java_vm::instance();
                if (machine.start_ahead(document_size) == Jvm_failed || !prepare)
                    return;
                const Jvm_thread thread(machine.machine());
                if (thread.env())
                    prepare(thread.env());
            } catch (...) {
                trace_current_exception();
            }
        });
    } catch (const std::system_error& error) {
        // No thread: the first start() makes the machine, as it would without this.
        Trace(Trace_kind, Level_info) << "Avvio anticipato della JVM non riuscito: " << error.what();
    }
}

Jvm_start_ahead::~Jvm_start_ahead()
{
    if (_thread.joinable())
        _thread.join();
}

std::string take_java_exception(JNIEnv* env)
{
    if (!env || !env->ExceptionCheck())
        return {};
    jthrowable exception = env->ExceptionOccurred();
    env->ExceptionClear();
    std::string text = "eccezione Java";
    if (jclass object = env->FindClass("java/lang/Object")) {
        if (jmethodID to_string = env->GetMethodID(object, "toString", "()Ljava/lang/String;")) {
            if (auto description = static_cast<jstring>(env->CallObjectMethod(exception, to_string))) {
                if (const char* chars = env->GetStringUTFChars(description, nullptr)) {
                    text = chars;
                    env->ReleaseStringUTFChars(description, chars);
                }
                env->DeleteLocalRef(description);
            }
        }
        env->DeleteLocalRef(object);
    }
    env->ExceptionClear();
    env->DeleteLocalRef(exception);
    return text;
}

} // namespace velin
