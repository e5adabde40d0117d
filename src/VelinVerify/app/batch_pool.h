// Many files in one process: `velin-verify --batch FILE...` and `--batch --stdin`.
//
// `jobs` lanes verify the files: each lane is a thread with an event loop of its own that takes
// the next entry of the input, drives that file's layers to the end (their steps run on the
// layers' own worker threads, the handlers on the lane), hands the report back and destroys the
// file's run there, so that nothing of a file's work waits for another file's. The calling thread
// loads the trusted lists once, before the first file, and then only prints: the reports in the
// order of the input, each as soon as every earlier one is out, however the files finish.
#pragma once

#include "VelinVerify/app/batch_report.h"
#include "VelinVerify/app/batch_run.h"
#include "VelinVerify/pipeline/pipeline_services.h"
#include "VelinVerify/pipeline/status_line.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace velin {

// One entry of the list of files. problem: why it cannot name a file (it gets a report of its
// own, saying so); path is then what could be read of it.
struct Batch_entry {
    std::string path;
    std::string problem;
};

class Batch_path_source {
public:
    virtual ~Batch_path_source() = default;
    // The next entry; nothing at the end of the list.
    virtual std::optional<Batch_entry> next() = 0;
};

// The files named on the command line.
class Batch_path_list : public Batch_path_source {
public:
    explicit Batch_path_list(std::vector<std::string> paths) : _paths(std::move(paths)) {}
    std::optional<Batch_entry> next() override;

private:
    std::vector<std::string> _paths;
    std::size_t _next = 0;
};

// A path longer than this is no path the system could open; the rest of its line is skipped
// without being kept, so a list without line ends cannot fill the memory.
inline constexpr std::size_t Max_listed_path = 4096;

// One path per line from a file descriptor (the standard input), read as the files are needed.
// Each line is taken whole, blanks included; empty lines are skipped; the last line needs no line
// end. A line with a NUL byte, or longer than Max_listed_path, is an entry with a problem.
class Batch_path_reader : public Batch_path_source {
public:
    explicit Batch_path_reader(int descriptor) : _descriptor(descriptor) {}
    std::optional<Batch_entry> next() override;
    // The error number of a failed read (the list ends there), 0 if none.
    int error() const { return _error; }

private:
    bool fill();

    int _descriptor;
    std::vector<char> _buffer = std::vector<char>(65536);
    std::size_t _at = 0;
    std::size_t _end = 0;
    bool _ended = false;
    int _error = 0;
};

// The worst of the files' exit statuses, in the sense the status of one file already has: an
// error outweighs warnings, warnings outweigh success, and a file that reached no summary counts
// as an error beside files that did (as a layer without a summary does beside layers with one).
// Only when no file at all reached a summary (or there was none) is the status Exit_no_summary.
class Batch_exit_status {
public:
    void add(int exit_code);
    int code() const;

private:
    bool _any_summary = false;
    bool _no_summary = false;
    int _worst = Exit_success;
};

// Reports kept for printing while an earlier file is still being verified; a lane takes no further
// entry while this many wait.
inline constexpr std::size_t Max_waiting_reports = 4096;

// The report of an entry that names no file.
Batch_report unusable_entry_report(const Batch_entry& entry);

class Report_channel;

// Loads the run's trusted lists (when the services have them) before its first file, under the
// run's channel: what the loading says, then the notice of lists not installed, go to notice and
// never into a file's report, so that no file's outcome depends on them.
void load_run_trusted_store(const Pipeline_services& services, Report_channel& channel,
                            const std::function<void(const Status_line&)>& notice);

class Batch_pool {
public:
    using Printer = std::function<void(const Batch_report&)>;
    // Lines reported outside any file (loading the trusted lists).
    using Notice = std::function<void(const Status_line&)>;

    Batch_pool(Pipeline_settings settings, Pipeline_services services, std::size_t jobs);

    // Verifies every entry of the source, up to `jobs` at a time, and prints each report in the
    // order of the source, on the calling thread. Returns the combined exit status
    // (Batch_exit_status). Needs a QCoreApplication on the calling thread. The source is read by
    // the lanes, one at a time.
    int run(Batch_path_source& source, const Printer& print, const Notice& notice = {});

    // Each file's report gets the facts the written reports need (Batch_report::facts).
    void set_facts_maker(Facts_maker maker) { _facts_maker = std::move(maker); }

    // Files verified by the last run.
    std::size_t files() const { return _files; }

private:
    struct Lanes;
    void lane(Lanes& lanes) const;
    Batch_report verify(const std::string& path) const;

    Pipeline_settings _settings;
    const Pipeline_services _services;
    const std::size_t _jobs;
    Facts_maker _facts_maker;
    std::size_t _files = 0;
};

} // namespace velin
