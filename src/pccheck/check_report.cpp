#include "pccheck/check_report.h"

#include "common/failure.h"
#include "common/file_io.h"
#include "common/trace.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>

namespace velin::pccheck {

namespace {

constexpr const char* Report_name = "Velin_Manager_VERIFICA_INSTALLAZIONE.txt";

// Opens the report for writing without following a planted link and without hanging on a FIFO
// planted in its place; only a regular file is written.
int open_report(const std::string& path, int flags, Descriptor_handle& descriptor)
{
    descriptor.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | flags, 0600));
    if (!descriptor)
        return errno;
    struct stat status {};
    if (::fstat(descriptor.get(), &status) != 0)
        return errno;
    if (!S_ISREG(status.st_mode))
        return EINVAL;
    return 0;
}

} // namespace

std::string default_report_path()
{
    const std::string folder = private_runtime_folder();
    return folder.empty() ? std::string(Report_name) : folder + "/" + Report_name;
}

Check_report::Check_report(std::string path) : _path(std::move(path)) {}

int Check_report::create_empty()
{
    Descriptor_handle descriptor;
    const int error = open_report(_path, O_TRUNC, descriptor);
    if (error != 0 && _write_error == 0)
        _write_error = error;
    return error;
}

void Check_report::report_line(const std::string& text)
{
    Descriptor_handle descriptor;
    int error = open_report(_path, O_APPEND, descriptor);
    if (error == 0 && !write_all(descriptor.get(), text + "\n"))
        error = errno;
    if (error != 0 && _write_error == 0) {
        _write_error = error;
        Trace(Trace_kind, Level_error) << "Scrittura del tracciato fallita: " << _path << " (errno " << error << ")";
    }
}

void Check_report::message(const std::string& text)
{
    if (_started)
        _messages += "\n";
    _messages += text;
    _started = true;
    if (on_message)
        on_message(text);
    report_line(text);
}

void Check_report::problem(const std::string& report_text, const std::string& user_text)
{
    message("Ho trovato un problema: " + (user_text.empty() ? report_text : user_text) + "\n" +
            "Continuo a cercare...");
    report_line(report_text);
    ++_problems;
}

} // namespace velin::pccheck
