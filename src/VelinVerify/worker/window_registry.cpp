#include "VelinVerify/worker/window_registry.h"

#include "common/failure.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>
#include <QThreadStorage>

#include <map>
#include <mutex>

namespace velin {

namespace {

QEvent::Type message_event_type()
{
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

class Message_event : public QEvent {
public:
    Message_event(Window_handle handle, const Window_message& message)
        : QEvent(message_event_type()), handle(handle), message(message)
    {}

    const Window_handle handle;
    const Window_message message;
};

class Dispatcher;

void deliver(const Dispatcher* dispatcher, Window_handle handle, const Window_message& message);

// One per thread that registers windows, living on that thread: a message is delivered where its
// window was registered. Qt drops the events still queued for it when it goes.
class Dispatcher : public QObject {
public:
    bool event(QEvent* event) override
    {
        if (event->type() != message_event_type())
            return QObject::event(event);
        const auto* posted = static_cast<const Message_event*>(event);
        deliver(this, posted->handle, posted->message);
        return true;
    }
};

struct Window_entry {
    Window_receiver receiver;
    Dispatcher* dispatcher = nullptr;
};

struct Table {
    std::mutex mutex;
    std::map<Window_handle, Window_entry> windows;
    Window_handle last_handle = 0;
};

Table& table()
{
    static Table* instance = new Table; // outlives every thread that may still post at exit
    return *instance;
}

// The windows of a dispatcher that goes can receive nothing more: they go with it, under the
// lock, so that no thread posts to it any more; then it is deleted on its own thread.
void retire(Dispatcher* dispatcher)
{
    if (!dispatcher)
        return;
    {
        Table& windows = table();
        std::lock_guard lock(windows.mutex);
        std::erase_if(windows.windows,
                      [dispatcher](const auto& entry) { return entry.second.dispatcher == dispatcher; });
    }
    delete dispatcher;
}

// The calling thread's dispatcher, if it made one. Deleted when the thread ends (QThreadStorage
// deletes the slot on the ending thread, before Qt lets go of it).
struct Thread_dispatcher {
    Dispatcher* dispatcher = nullptr;
    ~Thread_dispatcher() { retire(dispatcher); }
};

QThreadStorage<Thread_dispatcher*>& thread_dispatchers()
{
    static auto* storage = new QThreadStorage<Thread_dispatcher*>; // used by threads ending at exit
    return *storage;
}

// The application's thread may outlive its application object (tests make several): its
// dispatcher goes with the object, as the events queued for it do.
void retire_application_dispatcher()
{
    if (!thread_dispatchers().hasLocalData())
        return;
    Thread_dispatcher* slot = thread_dispatchers().localData();
    retire(slot->dispatcher);
    slot->dispatcher = nullptr;
}

Dispatcher* this_thread_dispatcher(const QCoreApplication& application)
{
    QThreadStorage<Thread_dispatcher*>& storage = thread_dispatchers();
    if (!storage.hasLocalData())
        storage.setLocalData(new Thread_dispatcher);
    Thread_dispatcher* slot = storage.localData();
    if (!slot->dispatcher) {
        slot->dispatcher = new Dispatcher;
        if (QThread::currentThread() == application.thread())
            qAddPostRoutine(retire_application_dispatcher);
    }
    return slot->dispatcher;
}

void deliver(const Dispatcher* dispatcher, Window_handle handle, const Window_message& message)
{
    Window_receiver receiver;
    {
        Table& windows = table();
        std::lock_guard lock(windows.mutex);
        const auto found = windows.windows.find(handle);
        if (found == windows.windows.end() || found->second.dispatcher != dispatcher)
            return;
        // A copy: the receiver may unregister its own window.
        receiver = found->second.receiver;
    }
    if (receiver)
        receiver(message);
}

} // namespace

Window_handle register_window(Window_receiver receiver)
{
    QCoreApplication* application = QCoreApplication::instance();
    assertion(application != nullptr, "QCoreApplication::instance () ne NULL");
    Dispatcher* dispatcher = this_thread_dispatcher(*application);
    Table& windows = table();
    std::lock_guard lock(windows.mutex);
    const Window_handle handle = ++windows.last_handle;
    windows.windows.emplace(handle, Window_entry{std::move(receiver), dispatcher});
    return handle;
}

void unregister_window(Window_handle handle)
{
    Window_receiver receiver;
    Table& windows = table();
    std::lock_guard lock(windows.mutex);
    const auto found = windows.windows.find(handle);
    if (found == windows.windows.end())
        return;
    // What the receiver holds is released after the lock.
    receiver = std::move(found->second.receiver);
    windows.windows.erase(found);
}

bool is_window(Window_handle handle)
{
    Table& windows = table();
    std::lock_guard lock(windows.mutex);
    return windows.windows.count(handle) != 0;
}

bool post_window_message(Window_handle handle, unsigned message, uintptr_t first, intptr_t second)
{
    Table& windows = table();
    std::lock_guard lock(windows.mutex);
    const auto found = windows.windows.find(handle);
    if (found == windows.windows.end())
        return false;
    // Under the lock, so that the dispatcher cannot be retired meanwhile.
    QCoreApplication::postEvent(found->second.dispatcher, new Message_event(handle, {message, first, second}));
    return true;
}

Window_registration::Window_registration(Window_receiver receiver) : _handle(register_window(std::move(receiver))) {}

Window_registration::~Window_registration()
{
    unregister_window(_handle);
}

} // namespace velin
