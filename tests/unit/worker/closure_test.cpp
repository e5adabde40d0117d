// Closures and the windows they report to, when their target goes away.
#include "test_folder.h"
#include "trace_records.h"
#include "worker_test_support.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using velin::Level_error;
using velin::test::count_traced;
using velin::test::eventually;
using velin::test::Gate;
using velin::test::Layer;
using velin::test::Received;
using velin::test::trace_mark;

using velin::test::Wm_app;

using velin::test::assertion_text;

TEST(Closures, a_destroyed_target_resets_its_closures_and_its_pending_message_is_dropped)
{
    Received received;
    auto layer = std::make_unique<Layer>(received);
    const auto task = layer->task;
    const velin::Window_handle window = layer->window();
    velin::Worker_thread worker;
    layer->served_by(worker);
    layer->step(&Layer::record_a, Wm_app);

    worker.wake();
    // The step ends and its message is posted, but the dialog goes before it is delivered: the
    // wait delivers nothing (the worker posts just after it is done, and a wait that delivered
    // could hand the message over before the dialog goes).
    for (int tries = 0; tries < 2500 && !worker.done(); ++tries)
        std::this_thread::sleep_for(2ms);
    ASSERT_TRUE(worker.done());
    std::this_thread::sleep_for(50ms);
    layer.reset();
    velin::test::deliver_for(200ms);
    EXPECT_TRUE(received.messages.empty());
    EXPECT_FALSE(task->closure().is_assigned());
    EXPECT_FALSE(task->is_ready());
    EXPECT_FALSE(velin::is_window(window));
    EXPECT_FALSE(velin::post_window_message(window, Wm_app));

    // Waking the worker again runs nothing in the dead target.
    const size_t mark = trace_mark();
    worker.wake();
    ASSERT_TRUE(eventually([&] { return count_traced(Level_error, {"std::logic_error", "is_ready"}, mark) == 1; }));
    worker.stop();
}

TEST(Closures, destroying_a_target_waits_for_the_step_running_in_it)
{
    class Slow_layer : public Layer {
    public:
        Slow_layer(Received& received, std::atomic<bool>& finished) : Layer(received), _finished(finished) {}
        // As every target must: wait for a running step before any part of this object goes.
        ~Slow_layer() override { release_closures(); }
        void slow()
        {
            gate.wait();
            std::this_thread::sleep_for(300ms);
            _finished = true;
        }
        Gate gate;

    private:
        std::atomic<bool>& _finished;
    };
    Received received;
    std::atomic<bool> finished{false};
    auto layer = std::make_unique<Slow_layer>(received, finished);
    velin::Worker_thread worker;
    layer->served_by(worker);
    layer->step(&Slow_layer::slow, Wm_app);
    worker.wake();
    ASSERT_TRUE(eventually([&] { return layer->gate.arrived(); }));

    // Destruction starts while the step is inside the object: the step finishes first.
    layer->gate.open();
    layer.reset();
    EXPECT_TRUE(finished);
    worker.stop();
    velin::test::deliver_for(100ms);
    EXPECT_TRUE(received.messages.empty());
}

TEST(Closures, bookkeeping_follows_binding_rebinding_and_destruction)
{
    Received received;
    Layer first(received);
    {
        Layer second(received);
        velin::Closure<Layer> closure;
        EXPECT_FALSE(closure.is_assigned());
        EXPECT_EQ(assertion_text([&] { closure.invoke(); }), "Assertion failed: is_assigned ()");

        closure.bind(&first, &Layer::record_a);
        EXPECT_TRUE(closure.is_assigned());
        closure.invoke();
        EXPECT_EQ(first.steps(), (std::vector<std::string>{"a"}));

        // Rebound to another target, it no longer depends on the first.
        closure.bind(&second, &Layer::record_b);
        closure.invoke();
        EXPECT_EQ(second.steps(), (std::vector<std::string>{"b"}));

        closure.reset();
        EXPECT_FALSE(closure.is_assigned());
        closure.bind(&second, &Layer::record_a);
        // The closure goes first, then its target: the target's set no longer names it.
    }
    velin::Closure<Layer> survivor;
    {
        Layer target(received);
        survivor.bind(&target, &Layer::record_a);
    }
    EXPECT_FALSE(survivor.is_assigned());
    EXPECT_EQ(first.steps(), (std::vector<std::string>{"a"}));

    velin::Closure_task<Layer> task;
    EXPECT_FALSE(task.is_ready());
    EXPECT_EQ(assertion_text([&] { task.run(); }), "Assertion failed: is_ready ()");
    EXPECT_EQ(assertion_text([&] { first.register_closure(nullptr); }), "Assertion failed: closure ne NULL");
}

TEST(Window_notification, posts_only_to_a_registered_window)
{
    std::vector<velin::Window_message> delivered;
    auto registration = std::make_unique<velin::Window_registration>(
        [&](const velin::Window_message& message) { delivered.push_back(message); });
    velin::Window_notification notification;
    notification.set_message(Wm_app + 2);
    notification.set_parameters(11, -3);
    notification.notify(); // no window yet: nothing
    notification.set_window(registration->handle());
    notification.notify();
    ASSERT_TRUE(eventually([&] { return delivered.size() == 1; }));
    EXPECT_EQ(delivered[0].message, Wm_app + 2);
    EXPECT_EQ(delivered[0].first, 11u);
    EXPECT_EQ(delivered[0].second, -3);

    // Handles are not reused: a new window never receives the messages of a gone one.
    const velin::Window_handle old = registration->handle();
    notification.notify();
    registration = std::make_unique<velin::Window_registration>(
        [&](const velin::Window_message& message) { delivered.push_back(message); });
    EXPECT_NE(registration->handle(), old);
    // Posted while the window existed, delivered after it went: dropped.
    velin::test::deliver_for(100ms);
    EXPECT_EQ(delivered.size(), 1u);
}

} // namespace
