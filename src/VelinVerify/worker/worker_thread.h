// The worker thread of a verification layer: an initialisation task, then one current task per
// wake-up, a notification after each, and a finalisation task when it is stopped.
//
// There is no queue. The owner rebinds the current task (the closure inside it) and then wakes the
// worker, and never wakes it while a step is running: the next step is queued from the handler of
// the previous step's message. The wake-up event is auto-reset, so one signal runs exactly one
// more step.
//
//     worker.set_task(step);                        // a Closure_task<Layer>, once
//     worker.set_notification(notification);        // a Window_notification on the layer's window
//     step->closure().bind(this, &Layer::decode);   // before each wake-up
//     notification->set_message(0x8000);
//     worker.wake();
//
// When its layer closes: stop() the worker, then release_closures() first thing in the layer's
// destructor (closure.h).
#pragma once

#include "VelinVerify/worker/event.h"
#include "VelinVerify/worker/task.h"
#include "VelinVerify/worker/thread_base.h"

#include <atomic>
#include <memory>

namespace velin {

class Worker_thread : public Thread_base {
public:
    Worker_thread();

    // Started: the thread must still be running ("Assertion failed: is_running ()"); the request
    // is queued by signalling the wake-up event. Not started: creates the event ("Assertion
    // failed: not is_valid ()" if it exists already) and starts the thread, which runs the current
    // task at once.
    void wake();
    // If running: sets the stop flag and signals; if still running, waits up to 5000 ms; then
    // closes the handle. A worker busy for longer is left to finish its step on its own.
    void stop() override;

    // Configuration, done once before the first wake. The current task and the notification are
    // set with set_task and set_notification.
    void set_initialisation_task(std::shared_ptr<Task> task);
    void set_finalisation_task(std::shared_ptr<Task> task);

    // Set after each step.
    bool done() const;
    // The result of the last wait of the worker loop.
    Wait_result loop_wait_result() const;
    // The result of the last signal given by wake or stop.
    bool signal_result() const { return _signal_result; }

private:
    class Body;
    Body& worker() const;

    bool _signal_result = false;
};

} // namespace velin
