// What the worker tests share: a layer-like target with its window, its step task and its
// notification, served by a worker thread, and waiting while the user-interface thread delivers
// messages. For test programs that link the verifier's worker library.
#pragma once

#include "VelinVerify/worker/closure.h"
#include "VelinVerify/worker/notification.h"
#include "VelinVerify/worker/window_registry.h"
#include "VelinVerify/worker/worker_thread.h"
#include "eventually.h"

#include <QCoreApplication>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velin::test {

// The first message number free for the tests' own steps.
constexpr unsigned Wm_app = 0x8000;

// Delivers posted messages for a while.
inline void deliver_for(std::chrono::milliseconds duration)
{
    eventually([] { return false; }, duration);
}

// Messages that reached a window, kept outside the window so they can be counted after it is gone.
struct Received {
    std::vector<unsigned> messages;
};

// Stands for a verification layer: a window, a step task bound to its members, a notification.
class Layer : public Closure_client {
public:
    explicit Layer(Received& received)
        : _registration([&received](const Window_message& message) { received.messages.push_back(message.message); })
    {
        notification->set_window(_registration.handle());
    }
    ~Layer() override { release_closures(); }

    // The worker runs this layer's step task and posts to its window.
    void served_by(Worker_thread& worker) const
    {
        worker.set_task(task);
        worker.set_notification(notification);
    }

    // Binds the step task to a member of this layer (or of a class derived from it).
    template <class Derived>
    void step(void (Derived::*function)(), unsigned message)
    {
        task->closure().bind(this, static_cast<void (Layer::*)()>(function));
        notification->set_message(message);
    }

    void record_a() { record("a"); }
    void record_b() { record("b"); }
    void record_thread() { record(thread_name()); }

    std::vector<std::string> steps() const
    {
        std::lock_guard lock(_mutex);
        return _steps;
    }
    Window_handle window() const { return _registration.handle(); }

    std::shared_ptr<Closure_task<Layer>> task = std::make_shared<Closure_task<Layer>>();
    std::shared_ptr<Window_notification> notification = std::make_shared<Window_notification>();

    static std::string thread_name() { return std::this_thread::get_id() == main_thread() ? "main" : "worker"; }
    static std::thread::id main_thread()
    {
        static const std::thread::id id = std::this_thread::get_id();
        return id;
    }

protected:
    void record(const std::string& text)
    {
        std::lock_guard lock(_mutex);
        _steps.push_back(text);
    }

private:
    mutable std::mutex _mutex;
    std::vector<std::string> _steps;
    Window_registration _registration;
};

// A gate a step waits at until the test opens it.
class Gate {
public:
    void wait()
    {
        _arrived = true;
        std::unique_lock lock(_mutex);
        _opened.wait_for(lock, std::chrono::seconds(30), [this] { return _open; });
    }
    void open()
    {
        {
            std::lock_guard lock(_mutex);
            _open = true;
        }
        _opened.notify_all();
    }
    bool arrived() const { return _arrived; }

private:
    std::mutex _mutex;
    std::condition_variable _opened;
    bool _open = false;
    std::atomic<bool> _arrived{false};
};

} // namespace velin::test
