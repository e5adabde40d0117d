// The window table across threads: a message reaches its window on the thread that registered it,
// never one that was unregistered before delivery, and nothing once that thread has ended.
#include "VelinVerify/worker/window_registry.h"
#include "eventually.h"

#include <gtest/gtest.h>

#include <QObject>
#include <QThread>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace velin {
namespace {

struct Delivery {
    Window_handle window;
    unsigned message;
    QThread* thread;
};

// What every window of the test received, from whichever thread.
class Deliveries {
public:
    Window_receiver receiver_for(Window_handle& window)
    {
        return [this, &window](const Window_message& message) {
            std::lock_guard lock(_mutex);
            _seen.push_back({window, message.message, QThread::currentThread()});
        };
    }
    std::vector<Delivery> seen() const
    {
        std::lock_guard lock(_mutex);
        return _seen;
    }
    bool has(unsigned message) const
    {
        std::lock_guard lock(_mutex);
        for (const Delivery& delivery : _seen)
            if (delivery.message == message)
                return true;
        return false;
    }

private:
    mutable std::mutex _mutex;
    std::vector<Delivery> _seen;
};

// A thread with an event loop of its own, and a way to run code on it.
class Loop_thread {
public:
    Loop_thread()
    {
        _thread.start();
        _anchor.moveToThread(&_thread);
    }
    ~Loop_thread() { end(); }

    void run(const std::function<void()>& code)
    {
        QMetaObject::invokeMethod(&_anchor, code, Qt::BlockingQueuedConnection);
    }
    // Keeps the loop busy until released: what is posted meanwhile waits in its queue.
    void hold()
    {
        QMetaObject::invokeMethod(&_anchor, [this] {
            std::unique_lock lock(_mutex);
            _held = true;
            _changed.notify_all();
            _changed.wait(lock, [this] { return !_held; });
        });
        std::unique_lock lock(_mutex);
        _changed.wait(lock, [this] { return _held; });
    }
    void release()
    {
        std::lock_guard lock(_mutex);
        _held = false;
        _changed.notify_all();
    }
    void end()
    {
        if (_thread.isRunning()) {
            _thread.quit();
            _thread.wait();
        }
    }
    QThread* thread() { return &_thread; }

private:
    QThread _thread;
    QObject _anchor;
    std::mutex _mutex;
    std::condition_variable _changed;
    bool _held = false;
};

TEST(Window_registry, delivers_on_the_registering_thread_and_drops_what_finds_no_window)
{
    Deliveries deliveries;
    Window_handle on_main = 0;
    on_main = register_window(deliveries.receiver_for(on_main));
    Loop_thread lane;
    Window_handle on_lane = 0;
    Window_handle later_on_lane = 0;
    lane.run([&] {
        on_lane = register_window(deliveries.receiver_for(on_lane));
        later_on_lane = register_window(deliveries.receiver_for(later_on_lane));
    });
    ASSERT_NE(on_lane, on_main);

    // Posted from a third thread, as a worker does.
    std::thread([&] {
        EXPECT_TRUE(post_window_message(on_lane, 1));
        EXPECT_TRUE(post_window_message(on_main, 2));
    }).join();
    ASSERT_TRUE(test::eventually([&] { return deliveries.has(1) && deliveries.has(2); }));
    for (const Delivery& delivery : deliveries.seen())
        EXPECT_EQ(delivery.thread, delivery.window == on_main ? QThread::currentThread() : lane.thread())
            << "message " << delivery.message;

    // Posted while the window still was, unregistered (from another thread) before delivery.
    lane.hold();
    EXPECT_TRUE(post_window_message(on_lane, 3));
    EXPECT_TRUE(post_window_message(later_on_lane, 4));
    unregister_window(on_lane);
    EXPECT_FALSE(is_window(on_lane));
    EXPECT_FALSE(post_window_message(on_lane, 5));
    lane.release();
    // Delivered in order: once 4 is in, 3 was dropped.
    ASSERT_TRUE(test::eventually([&] { return deliveries.has(4); }));
    EXPECT_FALSE(deliveries.has(3));
    EXPECT_FALSE(deliveries.has(5));

    // The lane's thread ends: its windows can receive nothing any more, the others still can.
    lane.end();
    EXPECT_FALSE(is_window(later_on_lane));
    EXPECT_FALSE(post_window_message(later_on_lane, 6));
    EXPECT_TRUE(post_window_message(on_main, 7));
    ASSERT_TRUE(test::eventually([&] { return deliveries.has(7); }));
    EXPECT_FALSE(deliveries.has(6));
    unregister_window(on_main);
}

TEST(Window_registry, lanes_at_once_each_get_only_their_own_messages)
{
    // Several threads registering and posting at the same time, as lanes of a batch do.
    constexpr int Lanes = 4;
    constexpr unsigned Messages = 200;
    Deliveries deliveries;
    std::vector<std::unique_ptr<Loop_thread>> lanes;
    std::vector<Window_handle> windows(Lanes);
    for (int n = 0; n < Lanes; ++n) {
        lanes.push_back(std::make_unique<Loop_thread>());
        lanes.back()->run([&, n] { windows[n] = register_window(deliveries.receiver_for(windows[n])); });
    }
    std::vector<std::thread> posters;
    for (int n = 0; n < Lanes; ++n)
        posters.emplace_back([&, n] {
            for (unsigned m = 0; m < Messages; ++m)
                post_window_message(windows[n], static_cast<unsigned>(n) * 1000 + m);
        });
    for (std::thread& poster : posters)
        poster.join();
    ASSERT_TRUE(test::eventually([&] { return deliveries.seen().size() == Lanes * Messages; }));
    std::vector<unsigned> next(Lanes, 0);
    for (const Delivery& delivery : deliveries.seen()) {
        const auto n = static_cast<int>(delivery.message / 1000);
        ASSERT_LT(n, Lanes);
        EXPECT_EQ(delivery.window, windows[n]);
        EXPECT_EQ(delivery.thread, lanes[n]->thread());
        // In the order posted.
        EXPECT_EQ(delivery.message % 1000, next[n]++);
    }
    for (int n = 0; n < Lanes; ++n)
        lanes[n]->run([&, n] { unregister_window(windows[n]); });
}

} // namespace
} // namespace velin
