#include "VelinVerify/worker/closure.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace velin {

namespace {

std::mutex& closure_lock()
{
    static std::mutex mutex;
    return mutex;
}

std::condition_variable& call_ended()
{
    static std::condition_variable condition;
    return condition;
}

// Threads inside a call, by target. Kept apart from the targets so that ending a call never touches
// a target that its own step has destroyed.
std::multimap<const Closure_client*, std::thread::id>& calls()
{
    static std::multimap<const Closure_client*, std::thread::id> map;
    return map;
}

} // namespace

Closure_client::~Closure_client()
{
    release_closures();
}

void Closure_client::register_closure(Closure_base* closure)
{
    assertion(closure != nullptr, "closure ne NULL");
    std::lock_guard lock(closure_lock());
    if (closure->_client && closure->_client != this) {
        closure->_client->_closures.erase(closure);
        closure->_assigned = false;
    }
    closure->_client = this;
    _closures.insert(closure);
}

void Closure_client::unregister_closure(Closure_base* closure)
{
    std::lock_guard lock(closure_lock());
    _closures.erase(closure);
    if (closure && closure->_client == this) {
        closure->_client = nullptr;
        closure->_assigned = false;
    }
}

void Closure_client::release_closures()
{
    std::unique_lock lock(closure_lock());
    for (Closure_base* closure : _closures) {
        closure->_client = nullptr;
        closure->_assigned = false;
    }
    _closures.clear();
    // A call made by this very thread (a step destroying its own target) cannot be waited for.
    const auto this_thread = std::this_thread::get_id();
    call_ended().wait(lock, [&] {
        const auto [first, last] = calls().equal_range(this);
        return std::all_of(first, last, [&](const auto& call) { return call.second == this_thread; });
    });
}

void Closure_base::reset()
{
    std::lock_guard lock(closure_lock());
    if (_client)
        _client->_closures.erase(this);
    _client = nullptr;
    _assigned = false;
}

Closure_base::~Closure_base()
{
    std::lock_guard lock(closure_lock());
    if (_client)
        _client->_closures.erase(this);
}

bool Closure_base::is_assigned() const
{
    std::lock_guard lock(closure_lock());
    return _assigned;
}

Closure_base::Call Closure_base::begin_call(const std::function<void()>& copy_binding)
{
    std::lock_guard lock(closure_lock());
    assertion(_assigned && _client != nullptr, "is_assigned ()");
    copy_binding();
    calls().emplace(_client, std::this_thread::get_id());
    return Call(_client);
}

Closure_base::Call::~Call()
{
    {
        std::lock_guard lock(closure_lock());
        const auto [first, last] = calls().equal_range(_client);
        const auto found =
            std::find_if(first, last, [](const auto& call) { return call.second == std::this_thread::get_id(); });
        if (found != last)
            calls().erase(found);
    }
    call_ended().notify_all();
}

void Closure_base::bind_to(Closure_client* client, const std::function<void()>& store_binding)
{
    client->register_closure(this);
    std::lock_guard lock(closure_lock());
    // Between registration and now the target may have gone on another thread.
    if (_client != client)
        return;
    store_binding();
    _assigned = true;
}

void Closure_base::forget(const std::function<void()>& forget_binding)
{
    std::lock_guard lock(closure_lock());
    forget_binding();
}

} // namespace velin
