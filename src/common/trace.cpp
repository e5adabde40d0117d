#include "common/trace.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace velin {

namespace {

constexpr std::string_view Log_base_name = "Velin_Manager";
constexpr std::string_view Log_guid = "025C20A7_E946_49DE_8A05_AB3F0F10E79A";
constexpr int Log_name_count = 20;
constexpr off_t Initial_wrap_mark = 500000;
constexpr std::string_view End_marker = "\n\n<<<<< FINE DEL FILE DI LOG\n\n";
constexpr std::string_view Indentation = "                                        "; // 40 spaces
constexpr int Indent_step = 4;

thread_local int thread_indentation = 0;

// The local time of a second, kept per thread: localtime_r takes the time-zone lock on every call,
// and a batch of thousands of files writes tens of records per file, from several threads.
// Offsets change only at whole seconds, so the time of the same second is the same.
const std::tm& local_time_of(std::time_t seconds)
{
    thread_local std::time_t cached_seconds = -1;
    thread_local std::tm cached{};
    if (seconds != cached_seconds) {
        ::localtime_r(&seconds, &cached);
        cached_seconds = seconds;
    }
    return cached;
}

long current_thread_id()
{
    thread_local const long id = static_cast<long>(::syscall(SYS_gettid));
    return id;
}
std::atomic<Trace_hook> installed_hook{nullptr};

std::string make_folder(const std::string& path)
{
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return {};
    struct stat info {};
    // lstat: a link planted at the folder's name is refused, not followed.
    if (::lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid())
        return {};
    if ((info.st_mode & 0777) != 0700 && ::chmod(path.c_str(), 0700) != 0)
        return {};
    return path;
}

struct Runtime_choice {
    std::string folder;
    std::string refused; // the usual folder, when another user holds its name
};

// Another user can make $TMPDIR/velin-manager-UID before us. Then a folder in the user's own
// cache stands in: nobody else can plant it, and every program of the user finds the same one,
// so the update lock still keeps runs apart.
std::string stand_in_folder()
{
    std::string cache;
    if (const char* cache_home = std::getenv("XDG_CACHE_HOME"); cache_home && *cache_home)
        cache = cache_home;
    else if (const char* home = std::getenv("HOME"); home && *home)
        cache = std::string(home) + "/.cache";
    if (cache.empty() || cache.front() != '/')
        return {};
    ::mkdir(cache.c_str(), 0700);
    const std::string parent = make_folder(cache + "/velin-manager");
    return parent.empty() ? std::string() : make_folder(parent + "/runtime");
}

Runtime_choice choose_runtime_folder()
{
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        std::string folder = make_folder(std::string(runtime) + "/velin-manager");
        if (!folder.empty())
            return {folder, {}};
    }
    const char* temp = std::getenv("TMPDIR");
    std::string base = (temp && *temp) ? temp : "/tmp";
    const std::string usual = base + "/velin-manager-" + std::to_string(::geteuid());
    if (std::string folder = make_folder(usual); !folder.empty())
        return {folder, {}};
    struct stat info {};
    if (::lstat(usual.c_str(), &info) != 0)
        return {}; // not there and not creatable: no folder, nobody else's doing
    return {stand_in_folder(), usual};
}

} // namespace

std::string private_runtime_folder()
{
    return choose_runtime_folder().folder;
}

std::string refused_runtime_folder()
{
    return choose_runtime_folder().refused;
}

std::string_view trace_level_label(int level)
{
    static constexpr std::string_view labels[] = {" TRACE ", " INFO  ", " NOTE  ", " WARN  ",
                                                  " ERROR ", " CRIT  ", " ALERT ", " FATAL "};
    if (level >= Level_trace && level <= Level_fatal)
        return labels[level - 1];
    return " ----- ";
}

// The process's one log file. The file descriptor keeps an exclusive flock for the life of the
// process: that is how another program of the suite sees that a name is taken.
class Trace_stream {
public:
    static Trace_stream* open_instance()
    {
        static Trace_stream stream;
        return stream._descriptor >= 0 ? &stream : nullptr;
    }

    std::string path() const { return _path; }

    void write(std::string_view prefix, std::string_view message, int kind, int level)
    {
        std::lock_guard lock(_mutex);
        try {
            write_piece(prefix);
            write_piece(" ");
            write_piece(message);
            write_piece("\n");
            // The marker follows the newest record; the next record overwrites it.
            apply_wrap_rule();
            const off_t record_end = _position;
            write_piece(End_marker);
            flush();
            _position = record_end;
        } catch (...) {
            _pending.clear();
        }
        if (Trace_hook hook = installed_hook.load())
            hook(kind, level, std::string(message));
    }

private:
    Trace_stream()
    {
        const std::string folder = private_runtime_folder();
        if (folder.empty())
            return;
        for (int index = 0; index < Log_name_count; ++index) {
            char name[96];
            std::snprintf(name, sizeof name, "%s_%s_%02d.log", Log_base_name.data(), Log_guid.data(), index);
            const std::string candidate = folder + "/" + name;
            const int descriptor = ::open(candidate.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (descriptor < 0)
                continue;
            if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0 || ::ftruncate(descriptor, 0) != 0) {
                ::close(descriptor);
                continue;
            }
            _descriptor = descriptor;
            _path = candidate;
            return;
        }
    }

    // A write position at or past the wrap mark moves the mark there and restarts at the top.
    void apply_wrap_rule()
    {
        const off_t current = _position;
        if (current >= _wrap_mark) {
            flush();
            _wrap_mark = current;
            _position = 0;
            _pending_offset = 0;
        }
    }

    void write_piece(std::string_view piece)
    {
        apply_wrap_rule();
        if (_pending.empty())
            _pending_offset = _position;
        _pending.append(piece);
        _position += static_cast<off_t>(piece.size());
    }

    void flush()
    {
        size_t done = 0;
        while (done < _pending.size()) {
            const ssize_t written = ::pwrite(_descriptor, _pending.data() + done, _pending.size() - done,
                                             _pending_offset + static_cast<off_t>(done));
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0) {
                _pending.clear();
                throw std::runtime_error("trace write failed");
            }
            done += static_cast<size_t>(written);
        }
        _pending.clear();
    }

    std::mutex _mutex;
    int _descriptor = -1;
    std::string _path;
    off_t _wrap_mark = Initial_wrap_mark;
    off_t _position = 0;
    std::string _pending;
    off_t _pending_offset = 0;
};

Trace::Trace(int kind, int level) : _stream(Trace_stream::open_instance()), _kind(kind), _level(level)
{
    if (!_stream)
        return;
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    const std::tm& local = local_time_of(seconds);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%02d/%02d/%04d %02d:%02d:%02d,%03d %10ld ", local.tm_mday, local.tm_mon + 1,
                  local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(millis),
                  current_thread_id());
    _prefix = stamp;
    _prefix += trace_level_label(level);
    _prefix += Indentation.substr(Indentation.size() - static_cast<size_t>(thread_indentation));
}

Trace::~Trace()
{
    if (!_stream)
        return;
    try {
        _stream->write(_prefix, _message.view(), _kind, _level);
    } catch (...) {
        // A record that cannot be written is dropped; the program goes on.
    }
}

void trace_value(std::string_view name, std::string_view value)
{
    Trace(Trace_kind, Level_trace) << name << " = " << value;
}

Trace_block::Trace_block(std::string_view operation)
{
    Trace(Trace_kind, Level_trace) << operation;
    if (Trace_stream::open_instance())
        thread_indentation = std::min<int>(thread_indentation + Indent_step, static_cast<int>(Indentation.size()));
}

Trace_block::~Trace_block()
{
    if (Trace_stream::open_instance() && thread_indentation >= Indent_step)
        thread_indentation -= Indent_step;
}

void set_trace_hook(Trace_hook hook)
{
    installed_hook.store(hook);
}

std::string trace_current_path()
{
    Trace_stream* stream = Trace_stream::open_instance();
    return stream ? stream->path() : std::string();
}

} // namespace velin
