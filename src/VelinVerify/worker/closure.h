// Closures: a member function of a dialog bound so that a worker thread can call it, made harmless
// once the dialog is gone.
//
//     class Layer : public Closure_client { void decode(); ... };
//     auto step = std::make_shared<Closure_task<Layer>>();
//     step->closure().bind(this, &Layer::decode);
//
// A target keeps the set of closures bound to it. When it is destroyed every one of them is reset,
// so a closure that outlives its target is merely unassigned. All the bookkeeping is done under one
// process-wide lock, because the target is destroyed on the user-interface thread while the worker
// may be asking the closure whether it is assigned.
#pragma once

#include "VelinVerify/worker/task.h"
#include "common/failure.h"

#include <functional>
#include <set>
#include <type_traits>

namespace velin {

class Closure_base;

// Base of every object that closures may target.
class Closure_client {
public:
    Closure_client() = default;
    Closure_client(const Closure_client&) = delete;
    Closure_client& operator=(const Closure_client&) = delete;

    // Resets every closure bound to this object (see release_closures).
    virtual ~Closure_client();
    virtual void register_closure(Closure_base* closure);
    virtual void unregister_closure(Closure_base* closure);

protected:
    // Resets every closure bound to this object, then waits for the calls other threads are making
    // through them to return. A target whose member functions run on a worker calls this first in
    // its own destructor, so that no step is still running in a half-destroyed object; the base
    // destructor calls it again for the others.
    void release_closures();

private:
    friend class Closure_base;
    std::set<Closure_base*> _closures; // ordered by address
};

class Closure_base {
public:
    Closure_base() = default;
    Closure_base(const Closure_base&) = delete;
    Closure_base& operator=(const Closure_base&) = delete;

    // Forgets the target and the function, and leaves the target's set.
    virtual void reset();
    // Leaves the target's set.
    virtual ~Closure_base();
    // Target and function are both set.
    virtual bool is_assigned() const;
    // Calls the function on the target; "Assertion failed: is_assigned ()" when unassigned.
    virtual void invoke() = 0;

protected:
    // A call in progress: from its start to its end the target's destruction waits.
    class Call {
    public:
        ~Call();
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;

    private:
        friend class Closure_base;
        explicit Call(Closure_client* client) : _client(client) {}
        Closure_client* _client;
    };

    // Checks is_assigned and, under the lock, lets copy_binding take the target and function.
    [[nodiscard]] Call begin_call(const std::function<void()>& copy_binding);
    // Registers with client, then runs store_binding under the lock if the client is still alive.
    void bind_to(Closure_client* client, const std::function<void()>& store_binding);
    // Runs forget_binding under the lock.
    void forget(const std::function<void()>& forget_binding);

private:
    friend class Closure_client;
    Closure_client* _client = nullptr; // guarded by the process-wide closure lock
    bool _assigned = false; // idem
};

template <class T>
class Closure : public Closure_base {
    static_assert(std::is_base_of_v<Closure_client, T>, "a closure's target is a Closure_client");

public:
    using Function = void (T::*)();

    void reset() override
    {
        Closure_base::reset();
        forget([this] {
            _target = nullptr;
            _function = nullptr;
        });
    }

    void invoke() override
    {
        T* target = nullptr;
        Function function = nullptr;
        const Call call = begin_call([&] {
            target = _target;
            function = _function;
        });
        (target->*function)();
    }

    // The member function pointer carries whatever adjustment the target's base classes need.
    virtual void bind(T* target, Function function)
    {
        assertion(target != nullptr, "target ne NULL");
        assertion(function != nullptr, "function ne NULL");
        bind_to(target, [&] {
            _target = target;
            _function = function;
        });
    }

private:
    T* _target = nullptr;
    Function _function = nullptr;
};

// A worker task that calls one bound member function.
template <class T>
class Closure_task : public Task {
public:
    bool is_ready() const override { return _closure.is_assigned(); }
    void run() override
    {
        assertion(is_ready(), "is_ready ()");
        _closure.invoke();
    }

    Closure<T>& closure() { return _closure; }

private:
    Closure<T> _closure;
};

} // namespace velin
