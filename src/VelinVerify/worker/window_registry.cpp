#include "VelinVerify/worker/window_registry.h"

#include "common/failure.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

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
    {
    }

    const Window_handle handle;
    const Window_message message;
};

void deliver(Window_handle handle, const Window_message& message);

// Lives on the user-interface thread for as long as the application object; Qt drops the events
// still queued for it when it goes.
class Dispatcher : public QObject {
public:
    bool event(QEvent* event) override
    {
        if (event->type() != message_event_type())
            return QObject::event(event);
        const auto* posted = static_cast<const Message_event*>(event);
        deliver(posted->handle, posted->message);
        return true;
    }
};

struct Table {
    std::mutex mutex;
    std::map<Window_handle, Window_receiver> windows;
    Window_handle last_handle = 0;
    Dispatcher* dispatcher = nullptr;
};

Table& table()
{
    static Table* instance = new Table; // outlives every thread that may still post at exit
    return *instance;
}

void destroy_dispatcher()
{
    Table& windows = table();
    std::lock_guard lock(windows.mutex);
    delete windows.dispatcher;
    windows.dispatcher = nullptr;
    windows.windows.clear();
}

void deliver(Window_handle handle, const Window_message& message)
{
    Window_receiver receiver;
    {
        Table& windows = table();
        std::lock_guard lock(windows.mutex);
        const auto found = windows.windows.find(handle);
        if (found == windows.windows.end())
            return;
        // A copy: the receiver may unregister its own window.
        receiver = found->second;
    }
    if (receiver)
        receiver(message);
}

} // namespace

Window_handle register_window(Window_receiver receiver)
{
    QCoreApplication* application = QCoreApplication::instance();
    assertion(application != nullptr, "QCoreApplication::instance () ne NULL");
    Table& windows = table();
    std::lock_guard lock(windows.mutex);
    if (!windows.dispatcher) {
        windows.dispatcher = new Dispatcher;
        windows.dispatcher->moveToThread(application->thread());
        qAddPostRoutine(destroy_dispatcher);
    }
    const Window_handle handle = ++windows.last_handle;
    windows.windows.emplace(handle, std::move(receiver));
    return handle;
}

void unregister_window(Window_handle handle)
{
    Table& windows = table();
    std::lock_guard lock(windows.mutex);
    windows.windows.erase(handle);
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
    if (!windows.dispatcher || windows.windows.count(handle) == 0)
        return false;
    // Under the lock, so that the dispatcher cannot be destroyed meanwhile.
    QCoreApplication::postEvent(windows.dispatcher, new Message_event(handle, {message, first, second}));
    return true;
}

Window_registration::Window_registration(Window_receiver receiver) : _handle(register_window(std::move(receiver)))
{
}

Window_registration::~Window_registration()
{
    unregister_window(_handle);
}

} // namespace velin
