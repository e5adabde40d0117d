#include "VelinVerify/worker/worker_thread.h"

#include "common/failure.h"
#include "common/trace.h"

#include <mutex>

namespace velin {

// Everything the worker loop touches; the thread co-owns it.
class Worker_thread::Body : public Thread_body {
public:
    void run() override
    {
        if (const auto task = initialisation_task()) {
            Trace(Trace_kind, Level_info) << "Inizializzazione del worker thread.";
            task->run();
        } else {
            Trace(Trace_kind, Level_info) << "Inizializzazione del worker thread non richiesta.";
        }

        Wait_result result = Wait_null;
        do {
            Trace(Trace_kind, Level_info) << "Il worker thread elabora la richiesta.";
            try {
                const auto current = task();
                assertion(current != nullptr, "_task ne NULL");
                current->run();
            } catch (...) {
                // The step fails, the owner still hears of its end and finds its record unfilled.
                trace_current_exception();
            }
            done = true;
            if (abandoned())
                break;
            try {
                if (const auto notification = this->notification())
                    notification->notify();
            } catch (...) {
                trace_current_exception();
            }
            result = event.wait();
            loop_wait_result = result;
        } while (result == Wait_signalled && !stop && !abandoned());

        if (const auto task = finalisation_task()) {
            Trace(Trace_kind, Level_info) << "Finalizzazione del worker thread.";
            task->run();
        } else {
            Trace(Trace_kind, Level_info) << "Finalizzazione del worker thread non richiesta.";
        }
    }

    void request_end() override
    {
        stop = true;
        event.set();
    }

    std::shared_ptr<Task> initialisation_task() const
    {
        std::lock_guard lock(mutex);
        return initialisation;
    }
    std::shared_ptr<Task> finalisation_task() const
    {
        std::lock_guard lock(mutex);
        return finalisation;
    }

    Event event;
    std::atomic<bool> done{false};
    std::atomic<bool> stop{false};
    std::atomic<Wait_result> loop_wait_result{Wait_null};
    mutable std::mutex mutex;
    std::shared_ptr<Task> initialisation;
    std::shared_ptr<Task> finalisation;
};

Worker_thread::Worker_thread() : Thread_base(std::make_shared<Body>()) {}

Worker_thread::Body& Worker_thread::worker() const
{
    return static_cast<Body&>(body());
}

void Worker_thread::wake()
{
    if (started()) {
        assertion(is_running(), "is_running ()");
        Trace(Trace_kind, Level_info) << "Accodamento della richiesta al worker thread.";
        _signal_result = worker().event.set();
        return;
    }
    assertion(!worker().event.is_valid(), "not is_valid ()");
    worker().event.create(false, false);
    start();
}

void Worker_thread::stop()
{
    if (is_running()) {
        worker().stop = true;
        _signal_result = worker().event.set();
        if (is_running())
            wait(Stop_time_limit);
    }
    close_handle();
}

void Worker_thread::set_initialisation_task(std::shared_ptr<Task> task)
{
    std::lock_guard lock(worker().mutex);
    worker().initialisation = std::move(task);
}

void Worker_thread::set_finalisation_task(std::shared_ptr<Task> task)
{
    std::lock_guard lock(worker().mutex);
    worker().finalisation = std::move(task);
}

bool Worker_thread::done() const
{
    return worker().done;
}

Wait_result Worker_thread::loop_wait_result() const
{
    return worker().loop_wait_result;
}

} // namespace velin
