// A thread owned by an object of the user-interface thread, and the part of it the thread itself
// runs.
//
// The running thread touches only its Thread_body, which it co-owns through a shared_ptr. So the
// owner may give up waiting for a thread (stop waits at most 5000 ms), close its handle and be
// destroyed while the thread is still busy: the thread finishes later on its own copy of the body.
#pragma once

#include "VelinVerify/worker/event.h"
#include "VelinVerify/worker/notification.h"
#include "VelinVerify/worker/task.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>

namespace velin {

class Thread_body {
public:
    Thread_body() = default;
    Thread_body(const Thread_body&) = delete;
    Thread_body& operator=(const Thread_body&) = delete;
    virtual ~Thread_body() = default;

    // The body of the thread.
    virtual void run() = 0;
    // Asks the body to end at its next chance (the worker leaves its loop at its next wait).
    virtual void request_end() {}

    int exit_code() const { return _exit_code; }
    void set_exit_code(int code) { _exit_code = code; }

    std::shared_ptr<Notification> notification() const;
    void set_notification(std::shared_ptr<Notification> notification);
    std::shared_ptr<Task> task() const;
    void set_task(std::shared_ptr<Task> task);

    // Given up by its owner: the body runs no further task and posts nothing more.
    bool abandoned() const { return _abandoned; }

private:
    friend class Thread_base;

    // The thread procedure: structured-exception translation, run, the final notification, and
    // the record of an exception that leaves run.
    static void procedure(std::shared_ptr<Thread_body> body);
    void mark_ended(int result);
    bool wait_end(std::chrono::milliseconds limit);
    void abandon(int exit_code);

    std::atomic<int> _exit_code{0};
    std::atomic<bool> _abandoned{false};
    mutable std::mutex _mutex;
    std::condition_variable _end;
    bool _ended = false;
    std::shared_ptr<Notification> _notification;
    std::shared_ptr<Task> _task;
};

class Thread_base {
public:
    static constexpr std::size_t Default_stack_size = 65536;
    static constexpr std::chrono::milliseconds Stop_time_limit{5000};

    Thread_base(const Thread_base&) = delete;
    Thread_base& operator=(const Thread_base&) = delete;

    // Never blocks: a running thread is asked to end and left to finish on its own.
    virtual ~Thread_base();
    // A thread handle exists.
    virtual bool started() const;
    // Started and not yet ended.
    virtual bool is_running() const;
    // See thread_base.cpp: the thread is abandoned, not killed. "Assertion failed: started ()".
    virtual void terminate(int exit_code);
    // If running, waits up to 5000 ms for the thread to end; then closes and forgets the handle.
    virtual void stop();

    // Waits for the end of the thread. "Assertion failed: started ()" when there is none.
    Wait_result wait(std::chrono::milliseconds limit);

    // The thread's result: its exit code after a normal end, EXIT_FAILURE (1) after an exception,
    // the given code after terminate.
    int exit_code() const { return _body->exit_code(); }
    // The error number of a failed start, 0 otherwise.
    int start_error() const { return _start_error; }
    Wait_result wait_result() const { return _wait_result; }

    void set_notification(std::shared_ptr<Notification> notification);
    void set_task(std::shared_ptr<Task> task);

protected:
    explicit Thread_base(std::shared_ptr<Thread_body> body);

    // Starts the thread at once; on failure keeps the error number and no handle exists.
    void start();
    // Joins an ended thread, lets a still-running one go.
    void close_handle();
    Thread_body& body() const { return *_body; }

private:
    std::shared_ptr<Thread_body> _body;
    std::thread _thread;
    std::size_t _stack_size = Default_stack_size;
    std::thread::id _thread_id;
    int _start_error = 0;
    Wait_result _wait_result = Wait_null;
};

} // namespace velin
