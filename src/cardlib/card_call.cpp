#include "cardlib/card_call.h"

#include "cardlib/card_exceptions.h"
#include "common/trace.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

namespace velin::cardlib {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<long long> card_time_for_tests{0};

thread_local Card_call* current_call = nullptr;

// Workers left behind by a timed-out call. The library's code must not be unloaded under them:
// at unload it waits for them a while (5 s), as long as a caller would accept. The count itself
// is never destroyed, since a worker may still end after that wait.
class Left_workers {
public:
    void add()
    {
        std::lock_guard lock(_lock);
        ++_count;
    }
    void remove()
    {
        std::lock_guard lock(_lock);
        if (--_count == 0)
            _idle.notify_all();
    }
    // True when no worker is left.
    bool wait_idle(std::chrono::milliseconds limit)
    {
        std::unique_lock lock(_lock);
        return _idle.wait_for(lock, limit, [this] { return _count == 0; });
    }

private:
    std::mutex _lock;
    std::condition_variable _idle;
    int _count = 0;
};

std::atomic<Left_workers*> left_workers_made{nullptr};

Left_workers& left_workers()
{
    static Left_workers* const workers = [] {
        auto* made = new Left_workers;
        left_workers_made = made;
        return made;
    }();
    return *workers;
}

struct Wait_at_unload {
    ~Wait_at_unload()
    {
        // Freed only when every worker has ended; one still running keeps it, and it is lost.
        Left_workers* const workers = left_workers_made.load();
        if (workers && workers->wait_idle(std::chrono::milliseconds(5000)))
            delete workers;
    }
} wait_at_unload;

struct Outcome {
    bool done = false;
    LONG result = SCARD_S_SUCCESS;
    std::exception_ptr error;
};

struct Task {
    std::function<LONG()> call;
    std::shared_ptr<Outcome> outcome;
};

} // namespace

void set_card_time_for_tests(std::chrono::milliseconds time)
{
    card_time_for_tests = time.count();
}

struct Card_call::Worker {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<Task> queue;
    bool stopping = false;
    bool timed_out = false;
    bool finished = false; // the thread is past its last call
    bool left = false; // nobody joins the thread: it reports its end to left_workers()
    Clock::duration remaining;
    std::thread thread;

    void serve()
    {
        std::unique_lock guard(lock);
        for (;;) {
            changed.wait(guard, [this] { return stopping || !queue.empty(); });
            if (queue.empty())
                return;
            Task task = std::move(queue.front());
            queue.pop_front();
            guard.unlock();
            LONG result = SCARD_S_SUCCESS;
            std::exception_ptr error;
            try {
                result = task.call();
            } catch (...) {
                error = std::current_exception();
            }
            // The function and what it captured go before the caller hears of it.
            task.call = nullptr;
            guard.lock();
            task.outcome->result = result;
            task.outcome->error = error;
            task.outcome->done = true;
            changed.notify_all();
        }
    }

    // Queues the call; waits for it while card time is left. False when the time ran out.
    bool submit(std::function<LONG()> call, const std::shared_ptr<Outcome>& outcome, bool wait)
    {
        std::unique_lock guard(lock);
        queue.push_back(Task{std::move(call), outcome});
        changed.notify_all();
        if (!wait)
            return false;
        const Clock::time_point start = Clock::now();
        const bool done = changed.wait_for(guard, remaining, [&] { return outcome->done; });
        remaining -= std::min(remaining, Clock::now() - start);
        if (!done)
            timed_out = true;
        return done;
    }
};

Card_call::Card_call() : _worker(std::make_shared<Worker>()), _previous(current_call)
{
    const long long test_time = card_time_for_tests;
    _worker->remaining = test_time > 0 ? std::chrono::milliseconds(test_time) : Default_card_time;
    _worker->thread = std::thread([worker = _worker] {
        worker->serve();
        std::unique_lock guard(worker->lock);
        worker->finished = true;
        if (worker->left) {
            guard.unlock();
            left_workers().remove();
        }
    });
    current_call = this;
}

Card_call::~Card_call()
{
    current_call = _previous;
    std::unique_lock guard(_worker->lock);
    _worker->stopping = true;
    _worker->changed.notify_all();
    if (!_worker->timed_out || _worker->finished) {
        guard.unlock();
        _worker->thread.join();
        return;
    }
    // The card still holds a call: the worker ends it, and the releases queued behind it, alone.
    _worker->left = true;
    left_workers().add();
    _worker->thread.detach();
}

LONG Card_call::run(std::function<LONG()> call)
{
    if (!current_call)
        return call();
    Worker& worker = *current_call->_worker;
    {
        std::lock_guard guard(worker.lock);
        if (worker.timed_out)
            throw Winapi_exception(static_cast<uint32_t>(SCARD_E_TIMEOUT));
    }
    const auto outcome = std::make_shared<Outcome>();
    if (!worker.submit(std::move(call), outcome, true)) {
        Trace(Trace_kind, Level_warn) << "La carta non ha risposto nel tempo concesso alla chiamata";
        throw Winapi_exception(static_cast<uint32_t>(SCARD_E_TIMEOUT));
    }
    if (outcome->error)
        std::rethrow_exception(outcome->error);
    return outcome->result;
}

bool Card_call::release(std::function<LONG()> call) noexcept
{
    try {
        if (!current_call)
            return call() == SCARD_S_SUCCESS;
        Worker& worker = *current_call->_worker;
        bool timed_out = false;
        {
            std::lock_guard guard(worker.lock);
            timed_out = worker.timed_out;
        }
        const auto outcome = std::make_shared<Outcome>();
        if (!worker.submit(std::move(call), outcome, !timed_out))
            return false;
        return !outcome->error && outcome->result == SCARD_S_SUCCESS;
    } catch (...) {
        return false;
    }
}

namespace {

LONG release_in_call(card_io::Pcsc_call call) noexcept
{
    return Card_call::release(std::move(call)) ? SCARD_S_SUCCESS : SCARD_F_UNKNOWN_ERROR;
}

} // namespace

const card_io::Pcsc& pcsc()
{
    static const card_io::Pcsc in_call(card_io::Pcsc_runner{&Card_call::run, &release_in_call});
    return in_call;
}

} // namespace velin::cardlib
