#include "VelinVerify/app/batch_pool.h"

#include "VelinVerify/app/batch_run.h"
#include "VelinVerify/pipeline/report_channel.h"
#include "common/trace.h"

#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

#include <unistd.h>

namespace velin {

namespace {

// Reports kept for printing while an earlier file is still being verified.
constexpr std::size_t Max_waiting_reports = 4096;

} // namespace

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

Batch_pool::Batch_pool(Pipeline_settings settings, Pipeline_services services, std::size_t jobs)
    : _settings(settings), _services(std::move(services)), _jobs(std::max<std::size_t>(jobs, 1))
{}

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
    if (_services.trusted_store)
        _services.trusted_store();

    QEventLoop loop;
    std::map<std::size_t, std::unique_ptr<Batch_file_run>> running;
    std::map<std::size_t, Batch_report> finished;
    std::size_t next_index = 0;
    std::size_t next_printed = 0;
    bool source_ended = false;
    Batch_exit_status status;

    const auto print_ready = [&] {
        for (auto found = finished.find(next_printed); found != finished.end(); found = finished.find(next_printed)) {
            status.add(found->second.exit_code);
            print(found->second);
            finished.erase(found);
            ++next_printed;
        }
    };
    std::function<void()> fill;
    const auto file_finished = [&](std::size_t index) {
        // Not from inside the run's own call: the run goes here.
        QTimer::singleShot(0, &loop, [&, index] {
            const auto found = running.find(index);
            if (found == running.end())
                return;
            finished.emplace(index, found->second->report());
            std::unique_ptr<Batch_file_run> done = std::move(found->second);
            running.erase(found);
            // The next file starts before this one's workers are stopped: stopping waits for each
            // worker to end, and the processors should have the next file's work meanwhile.
            fill();
            done.reset();
        });
    };
    fill = [&] {
        for (;;) {
            print_ready();
            // A file that takes long holds back the printing of every later one: the reports
            // waiting for it are bounded, and no more files start until it is done.
            if (source_ended || running.size() >= _jobs || finished.size() >= Max_waiting_reports)
                break;
            std::optional<Batch_entry> entry = source.next();
            if (!entry) {
                source_ended = true;
                break;
            }
            const std::size_t index = next_index++;
            ++_files;
            if (!entry->problem.empty()) {
                finished.emplace(index, unusable_entry_report(*entry));
                continue;
            }
            Pipeline_services services = _services;
            services.cancel = std::make_shared<std::atomic<bool>>(false);
            auto run = std::make_unique<Batch_file_run>(_settings, std::move(services),
                                                        [&file_finished, index] { file_finished(index); });
            Batch_file_run& started = *running.emplace(index, std::move(run)).first->second;
            started.start(entry->path);
        }
        if (source_ended && running.empty())
            loop.quit();
    };

    fill();
    // quit() before exec() would be forgotten.
    if (!(source_ended && running.empty()))
        loop.exec();
    print_ready();
    return status.code();
}

} // namespace velin
