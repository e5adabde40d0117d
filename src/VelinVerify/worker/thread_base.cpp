#include "VelinVerify/worker/thread_base.h"

#include "common/failure.h"
#include "common/trace.h"

#include <system_error>

namespace velin {

std::shared_ptr<Notification> Thread_body::notification() const
{
    std::lock_guard lock(_mutex);
    return _notification;
}

void Thread_body::set_notification(std::shared_ptr<Notification> notification)
{
    std::lock_guard lock(_mutex);
    _notification = std::move(notification);
}

std::shared_ptr<Task> Thread_body::task() const
{
    std::lock_guard lock(_mutex);
    return _task;
}

void Thread_body::set_task(std::shared_ptr<Task> task)
{
    std::lock_guard lock(_mutex);
    _task = std::move(task);
}

void Thread_body::procedure(std::shared_ptr<Thread_body> body)
{
    SEH_translation translation;
    int result = EXIT_FAILURE;
    try {
        body->run();
        // The message of the last step is posted once more when the thread ends.
        if (!body->abandoned())
            if (const auto notification = body->notification())
                notification->notify();
        result = body->exit_code();
    } catch (...) {
        trace_current_exception();
    }
    body->mark_ended(result);
}

void Thread_body::mark_ended(int result)
{
    {
        std::lock_guard lock(_mutex);
        if (!_abandoned)
            _exit_code = result;
        _ended = true;
    }
    _end.notify_all();
}

bool Thread_body::wait_end(std::chrono::milliseconds limit)
{
    std::unique_lock lock(_mutex);
    return _end.wait_for(lock, limit, [this] { return _ended; });
}

void Thread_body::abandon(int exit_code)
{
    {
        std::lock_guard lock(_mutex);
        if (!_ended)
            _exit_code = exit_code;
        _abandoned = true;
    }
    request_end();
}

Thread_base::Thread_base(std::shared_ptr<Thread_body> body) : _body(std::move(body))
{
    assertion(_body != nullptr, "body ne NULL");
}

Thread_base::~Thread_base()
{
    if (!started())
        return;
    if (is_running())
        _body->request_end();
    close_handle();
}

bool Thread_base::started() const
{
    return _thread.joinable();
}

bool Thread_base::is_running() const
{
    return started() && !_body->wait_end(std::chrono::milliseconds(0));
}

// A thread cannot be killed safely on Linux (no pthread call ends it without leaving its locks
// held and its memory in use). Instead it is abandoned: asked to end, its handle let go and its
// result fixed to exit_code. It runs no further task and posts no further message; the step it
// is in finishes on the body the thread co-owns.
void Thread_base::terminate(int exit_code)
{
    assertion(started(), "started ()");
    Trace(Trace_kind, Level_warn) << "Terminating thread " << _thread.native_handle();
    _body->abandon(exit_code);
    close_handle();
}

void Thread_base::stop()
{
    if (is_running())
        wait(Stop_time_limit);
    close_handle();
}

Wait_result Thread_base::wait(std::chrono::milliseconds limit)
{
    assertion(started(), "started ()");
    _wait_result = _body->wait_end(limit) ? Wait_signalled : Wait_timed_out;
    assertion(_wait_result != Wait_null, "_wait_result ne Wait_null");
    return _wait_result;
}

void Thread_base::set_notification(std::shared_ptr<Notification> notification)
{
    _body->set_notification(std::move(notification));
}

void Thread_base::set_task(std::shared_ptr<Task> task)
{
    _body->set_task(std::move(task));
}

void Thread_base::start()
{
    _start_error = 0;
    try {
        _thread = std::thread(&Thread_body::procedure, _body);
        _thread_id = _thread.get_id();
    } catch (const std::system_error& error) {
        _start_error = error.code().value();
    }
}

void Thread_base::close_handle()
{
    if (!_thread.joinable())
        return;
    // Joining from the thread itself would deadlock; a thread still running is let go.
    if (_thread.get_id() != std::this_thread::get_id() && _body->wait_end(std::chrono::milliseconds(0)))
        _thread.join();
    else
        _thread.detach();
}

} // namespace velin
