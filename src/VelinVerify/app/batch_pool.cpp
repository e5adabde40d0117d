#include "VelinVerify/app/batch_pool.h"

#include "VelinVerify/app/batch_run.h"
#include "VelinVerify/pipeline/report_channel.h"
#include "common/errno_text.h"
#include "common/failure.h"
#include "common/trace.h"

#include <QEventLoop>
#include <QObject>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include <unistd.h>

namespace velin {

std::optional<Batch_entry> Batch_path_list::next()
{
    if (_next >= _paths.size())
        return std::nullopt;
    return Batch_entry{_paths[_next++], {}};
}

bool Batch_path_reader::fill()
{
    while (!_ended) {
        const ssize_t got = ::read(_descriptor, _buffer.data(), _buffer.size());
        if (got > 0) {
            _at = 0;
            _end = static_cast<std::size_t>(got);
            return true;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            _error = errno;
        _ended = true;
    }
    return false;
}

std::optional<Batch_entry> Batch_path_reader::next()
{
    for (;;) {
        std::string line;
        bool consumed = false;
        bool too_long = false;
        for (bool line_end = false; !line_end;) {
            if (_at == _end && !fill())
                break;
            consumed = true;
            const char* begin = _buffer.data() + _at;
            const auto* newline = static_cast<const char*>(std::memchr(begin, '\n', _end - _at));
            const std::size_t length = newline ? static_cast<std::size_t>(newline - begin) : _end - _at;
            // Only what can still be a path is kept.
            const std::size_t room = Max_listed_path - line.size();
            if (length > room)
                too_long = true;
            line.append(begin, std::min(length, room));
            _at += length + (newline ? 1 : 0);
            line_end = newline != nullptr;
        }
        if (!consumed)
            return std::nullopt;
        if (line.empty() && !too_long)
            continue;
        Batch_entry entry{std::move(line), {}};
        if (too_long)
            entry.problem = "Il nome del file è troppo lungo.";
        else if (entry.path.find('\0') != std::string::npos)
            entry.problem = "Il nome del file contiene un carattere nullo.";
        return entry;
    }
}

void Batch_exit_status::add(int exit_code)
{
    if (exit_code == Exit_no_summary) {
        _no_summary = true;
        return;
    }
    _any_summary = true;
    _worst = std::max(_worst, std::clamp(exit_code, int(Exit_success), int(Exit_errors)));
}

int Batch_exit_status::code() const
{
    if (!_any_summary)
        return Exit_no_summary;
    return _no_summary ? Exit_errors : _worst;
}

Batch_report unusable_entry_report(const Batch_entry& entry)
{
    Batch_report report;
    report.file = entry.path;
    Batch_layer layer;
    layer.file = entry.path;
    layer.activity.push_back({Line_severity::Error, entry.problem});
    report.layers.push_back(std::move(layer));
    report.exit_code = Exit_no_summary;
    return report;
}

// What the lanes and the printing thread share. The list has a lock of its own: a lane waiting
// for the next line of a slow pipe must not keep the others from handing their reports over.
struct Batch_pool::Lanes {
    explicit Lanes(Batch_path_source& source) : source(source) {}

    // The next entry and its place in the input; nothing at the end or when stopping. Waits while
    // too many reports wait for an earlier one: the file that holds them back is on another lane
    // and ends without this one.
    std::optional<std::pair<std::size_t, Batch_entry>> take()
    {
        {
            std::unique_lock lock(mutex);
            room.wait(lock, [this] { return stopping || finished.size() < Max_waiting_reports; });
            if (stopping)
                return std::nullopt;
        }
        std::lock_guard reading(source_mutex);
        if (source_ended)
            return std::nullopt;
        std::optional<Batch_entry> entry = source.next();
        if (!entry) {
            source_ended = true;
            return std::nullopt;
        }
        return std::pair{next_index++, std::move(*entry)};
    }

    std::size_t taken()
    {
        std::lock_guard reading(source_mutex);
        return next_index;
    }

    void hand_back(std::size_t index, Batch_report report)
    {
        bool printable = false;
        {
            std::lock_guard lock(mutex);
            finished.emplace(index, std::move(report));
            printable = index == next_printed;
        }
        if (printable)
            wake_printer();
    }

    void lane_ended()
    {
        {
            std::lock_guard lock(mutex);
            ++ended;
        }
        wake_printer();
    }

    // The reports that can be printed now, in order, taken out of the waiting ones.
    std::vector<Batch_report> take_printable()
    {
        std::vector<Batch_report> ready;
        {
            std::lock_guard lock(mutex);
            for (auto found = finished.find(next_printed); found != finished.end();
                 found = finished.find(next_printed)) {
                ready.push_back(std::move(found->second));
                finished.erase(found);
                ++next_printed;
            }
        }
        if (!ready.empty())
            room.notify_all();
        return ready;
    }

    bool all_ended()
    {
        std::lock_guard lock(mutex);
        return ended == started;
    }

    void stop()
    {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        room.notify_all();
    }

    void wake_printer() { QMetaObject::invokeMethod(printer, wake, Qt::QueuedConnection); }

    // Under source_mutex: the list, where it is, and the place of the next entry.
    std::mutex source_mutex;
    Batch_path_source& source;
    bool source_ended = false;
    std::size_t next_index = 0;
    // Under mutex: the reports, the lanes, stopping.
    std::mutex mutex;
    std::condition_variable room;
    bool stopping = false;
    std::size_t next_printed = 0;
    std::map<std::size_t, Batch_report> finished;
    std::size_t started = 0;
    std::size_t ended = 0;
    // On the printing thread: what a lane's wake-up runs there.
    QObject* printer = nullptr;
    std::function<void()> wake;
};

void load_run_trusted_store(const Pipeline_services& services, Report_channel& channel,
                            const std::function<void(const Status_line&)>& notice)
{
    if (!services.trusted_store)
        return;
    const std::shared_ptr<Trusted_store> store = services.trusted_store();
    channel.deliver_pending();
    if (store && notice)
        if (std::string text = store->take_not_installed_notice(); !text.empty())
            notice({Line_severity::Information, std::move(text)});
}

Batch_pool::Batch_pool(Pipeline_settings settings, Pipeline_services services, std::size_t jobs)
    : _settings(settings), _services(std::move(services)), _jobs(std::max<std::size_t>(jobs, 1))
{
    // Each lane is already a thread of its own, away from any window.
    _settings.steps_in_place = true;
}

Batch_report Batch_pool::verify(const std::string& path) const
{
    QEventLoop loop;
    Pipeline_services services = _services;
    services.cancel = std::make_shared<std::atomic<bool>>(false);
    auto run = std::make_unique<Batch_file_run>(_settings, std::move(services), [&loop] { loop.quit(); });
    run->set_facts_maker(_facts_maker);
    {
        // This lane drives only this file now: what its handlers report is the file's.
        const Report_group_scope reporting(run->report_group());
        run->start(path);
        loop.exec();
    }
    Batch_report report = run->report();
    // Here, not on the printing thread: the parsers, the mappings and the layers' workers go
    // while the other lanes go on.
    run.reset();
    return report;
}

void Batch_pool::lane(Lanes& lanes) const
{
    while (std::optional<std::pair<std::size_t, Batch_entry>> taken = lanes.take()) {
        const auto& [index, entry] = *taken;
        Batch_report report;
        if (!entry.problem.empty()) {
            report = unusable_entry_report(entry);
        } else {
            try {
                report = verify(entry.path);
            } catch (...) {
                // Every entry taken gets its report, or the printing would wait for it for ever.
                trace_current_exception();
                report = unusable_entry_report({entry.path, "L'analisi del file è fallita."});
            }
        }
        lanes.hand_back(index, std::move(report));
    }
    lanes.lane_ended();
}

int Batch_pool::run(Batch_path_source& source, const Printer& print, const Notice& notice)
{
    _files = 0;
    // Reports of no file's layer: every layer of the pool reports to its own file's layers, so
    // only what is said outside any file comes here.
    Report_channel reports([&notice](const Status_line& line) {
        if (notice)
            notice(line);
    });
    // Loaded here, once, rather than by whichever file reaches its chains first: what the loading
    // says then belongs to no file, and no worker waits for another's loading.
    load_run_trusted_store(_services, reports, notice);

    QEventLoop loop;
    QObject printer;
    Lanes lanes(source);
    Batch_exit_status status;
    const auto print_ready = [&] {
        for (const Batch_report& report : lanes.take_printable()) {
            status.add(report.exit_code);
            print(report);
        }
    };
    lanes.printer = &printer;
    lanes.wake = [&] {
        print_ready();
        if (lanes.all_ended())
            loop.quit();
    };

    std::vector<std::thread> threads;
    // However the printing ends, no lane is left waiting or running.
    struct Joiner {
        Lanes& lanes;
        std::vector<std::thread>& threads;
        ~Joiner()
        {
            lanes.stop();
            for (std::thread& thread : threads)
                thread.join();
        }
    } joiner{lanes, threads};
    for (std::size_t n = 0; n < _jobs; ++n) {
        {
            std::lock_guard lock(lanes.mutex);
            ++lanes.started;
        }
        try {
            threads.emplace_back([this, &lanes] { lane(lanes); });
        } catch (const std::system_error& failure) {
            Trace(Trace_kind, Level_error) << "Avvio del worker thread fallito: " << errno_text(failure.code());
            std::lock_guard lock(lanes.mutex);
            --lanes.started;
            break;
        }
    }
    if (threads.empty()) {
        // No lane: every file is one whose analysis failed, as a layer without its worker is.
        while (std::optional<std::pair<std::size_t, Batch_entry>> taken = lanes.take()) {
            const Batch_entry& entry = taken->second;
            lanes.hand_back(taken->first,
                            unusable_entry_report(
                                {entry.path, entry.problem.empty() ? "L'analisi del file è fallita." : entry.problem}));
            print_ready();
        }
    } else if (!lanes.all_ended()) {
        loop.exec();
    }
    print_ready();
    _files = lanes.taken();
    return status.code();
}

} // namespace velin
