// The suite's trace log: one text file per running program, chosen among twenty fixed names in
// the user's private runtime folder, written as a ring of about 500,000 bytes with an end marker
// after the newest record.
//
//     Trace(1, Level_info) << "Verifica della revoca: " << count;
//
// A record is written as one line when the Trace object is destroyed. While the log is
// unavailable (no folder, every name held by another program) records are built and dropped.
#pragma once

#include <sstream>
#include <string>
#include <string_view>

namespace velin {

enum Trace_level : int {
    Level_trace = 1,
    Level_info = 2,
    Level_note = 3,
    Level_warn = 4,
    Level_error = 5,
    Level_crit = 6,
    Level_alert = 7,
    Level_fatal = 8,
};

// Every caller passes kind 1; the hook receives it unchanged.
constexpr int Trace_kind = 1;

class Trace_stream;

class Trace {
public:
    Trace(int kind, int level);
    ~Trace();
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    template <class T>
    Trace& operator<<(const T& value)
    {
        if (_stream)
            _message << value;
        return *this;
    }

private:
    Trace_stream* _stream;
    int _kind;
    int _level;
    std::string _prefix;
    std::ostringstream _message;
};

// One TRACE record "name = value".
void trace_value(std::string_view name, std::string_view value);

// Writes a TRACE record with the operation's name, then indents this thread's later records by
// one step (4 spaces, at most 40) until it goes out of scope.
class Trace_block {
public:
    explicit Trace_block(std::string_view operation);
    ~Trace_block();
    Trace_block(const Trace_block&) = delete;
    Trace_block& operator=(const Trace_block&) = delete;
};

// Sees every written record, called while the log's lock is held.
using Trace_hook = void (*)(int kind, int level, const std::string& message);
void set_trace_hook(Trace_hook hook);

// Path of this process's log file; empty while no file is open.
std::string trace_current_path();

// The label written for a level: seven characters, " ----- " for unknown levels.
std::string_view trace_level_label(int level);

// The private per-user folder that holds logs and preview copies: created 0700 when missing,
// refused when it is a link or belongs to another user. $XDG_RUNTIME_DIR/velin-manager, else
// $TMPDIR (or /tmp) + /velin-manager-UID; when that one is refused, velin-manager/runtime in the
// user's cache folder ($XDG_CACHE_HOME, else ~/.cache). Empty when none can be had.
std::string private_runtime_folder();

// The usual private folder when it stands there but is not ours (another user's, a link) and
// another was used instead; empty otherwise.
std::string refused_runtime_folder();

} // namespace velin
