// The worker thread: one step per wake-up, a message after each, and how it ends.
#include "test_folder.h"
#include "trace_records.h"
#include "worker_test_support.h"

#include <gtest/gtest.h>

#include <future>
#include <stdexcept>

namespace {

using namespace std::chrono_literals;
using velin::Level_error;
using velin::Level_info;
using velin::Level_warn;
using velin::test::count_traced;
using velin::test::eventually;
using velin::test::Gate;
using velin::test::Layer;
using velin::test::Received;
using velin::test::trace_mark;

using velin::test::Wm_app;

// A task made of a function, for what happens outside the steps.
class Function_task : public velin::Task {
public:
    explicit Function_task(std::function<void()> function) : _function(std::move(function)) {}
    bool is_ready() const override { return true; }
    void run() override { _function(); }

private:
    std::function<void()> _function;
};

// A layer whose steps can fail, block or count.
class Test_layer : public Layer {
public:
    using Layer::Layer;

    void throw_standard() { throw std::runtime_error("guasto nel passo"); }
    void divide()
    {
        volatile int zero = 0;
        quotient = 100 / zero;
    }
    void count()
    {
        ++runs;
        if (runs == 1)
            gate.wait();
    }
    void block() { gate.wait(); }

    int quotient = -1;
    std::atomic<int> runs{0};
    Gate gate;
};

TEST(Worker_thread, runs_the_rebound_task_and_posts_the_message_of_each_step)
{
    const size_t mark = trace_mark();
    Received received;
    Layer layer(received);
    velin::Worker_thread worker;
    layer.served_by(worker);

    layer.step(&Layer::record_a, Wm_app);
    worker.wake();
    ASSERT_TRUE(eventually([&] { return received.messages.size() == 1; }));
    EXPECT_TRUE(worker.done());
    layer.step(&Layer::record_b, Wm_app + 1);
    worker.wake();
    ASSERT_TRUE(eventually([&] { return received.messages.size() == 2; }));
    EXPECT_EQ(layer.steps(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(received.messages, (std::vector<unsigned>{Wm_app, Wm_app + 1}));
    // Without initialisation and finalisation tasks, each is traced as skipped; one request queued.
    EXPECT_EQ(count_traced(Level_info, {"Inizializzazione"}, mark), 1u);
    EXPECT_EQ(count_traced(Level_info, {"Accodamento"}, mark), 1u);
    EXPECT_TRUE(worker.signal_result());

    worker.stop();
    EXPECT_FALSE(worker.started());
    EXPECT_EQ(worker.exit_code(), 0);
    EXPECT_EQ(worker.loop_wait_result(), velin::Wait_signalled);
    EXPECT_EQ(count_traced(Level_info, {"Finalizzazione"}, mark), 1u);
    // The thread posts the last step's message once more as it ends.
    ASSERT_TRUE(eventually([&] { return received.messages.size() == 3; }));
    EXPECT_EQ(received.messages.back(), Wm_app + 1);
}

TEST(Worker_thread, initialisation_steps_and_finalisation_run_on_the_worker)
{
    Received received;
    Layer layer(received);
    auto initialise = std::make_shared<velin::Closure_task<Layer>>();
    auto finalise = std::make_shared<velin::Closure_task<Layer>>();
    initialise->closure().bind(&layer, &Layer::record_thread);
    finalise->closure().bind(&layer, &Layer::record_a);
    velin::Worker_thread worker;
    worker.set_initialisation_task(initialise);
    worker.set_finalisation_task(finalise);
    layer.served_by(worker);
    layer.step(&Layer::record_thread, Wm_app);

    worker.wake();
    ASSERT_TRUE(eventually([&] { return received.messages.size() == 1; }));
    worker.stop();
    EXPECT_EQ(layer.steps(), (std::vector<std::string>{"worker", "worker", "a"}));
    EXPECT_GE(count_traced(Level_info, {"Inizializzazione"}), 1u);
    EXPECT_GE(count_traced(Level_info, {"Finalizzazione"}), 1u);
}

TEST(Worker_thread, one_signal_runs_exactly_one_more_step)
{
    Received received;
    Test_layer layer(received);
    velin::Worker_thread worker;
    layer.served_by(worker);
    layer.step(&Test_layer::count, Wm_app);

    worker.wake();
    ASSERT_TRUE(eventually([&] { return layer.gate.arrived(); }));
    // Two signals while the step runs: the auto-reset event keeps one.
    worker.wake();
    worker.wake();
    layer.gate.open();
    ASSERT_TRUE(eventually([&] { return received.messages.size() == 2; }));
    velin::test::deliver_for(300ms);
    EXPECT_EQ(layer.runs, 2);
    EXPECT_EQ(received.messages.size(), 2u);

    worker.wake();
    ASSERT_TRUE(eventually([&] { return received.messages.size() == 3; }));
    EXPECT_EQ(layer.runs, 3);
    worker.stop();
}

TEST(Worker_thread, a_failing_step_still_ends_with_its_message_and_leaves_a_record)
{
    Received received;
    Test_layer layer(received);
    velin::Worker_thread worker;
    layer.served_by(worker);

    layer.step(&Test_layer::throw_standard, Wm_app);
    worker.wake();
    ASSERT_TRUE(eventually([&] { return received.messages.size() == 1; }));
    EXPECT_EQ(count_traced(Level_error, {"std::runtime_error", "guasto nel passo"}), 1u);

    // A division by zero in a step is a failed step, not the end of the program.
    const size_t mark = trace_mark();
    layer.step(&Test_layer::divide, Wm_app + 1);
    worker.wake();
    ASSERT_TRUE(eventually([&] { return received.messages.size() == 2; }));
    EXPECT_EQ(layer.quotient, -1);
    EXPECT_EQ(count_traced(Level_error, {"velin::SEH_exception", "EXCEPTION_INT_DIVIDE_BY_ZERO"}, mark), 1u);

    // The worker goes on with the next step.
    layer.step(&Layer::record_a, Wm_app + 2);
    worker.wake();
    ASSERT_TRUE(eventually([&] { return received.messages.size() == 3; }));
    EXPECT_EQ(layer.steps(), (std::vector<std::string>{"a"}));
    EXPECT_EQ(received.messages, (std::vector<unsigned>{Wm_app, Wm_app + 1, Wm_app + 2}));
    worker.stop();
}

TEST(Thread_procedure, an_exception_leaving_the_thread_is_recorded_and_ends_it_with_failure)
{
    struct Case {
        std::function<void()> thrower;
        std::vector<std::string> record; // what the ERROR record names
    };
    static int object = 0;
    const Case cases[] = {
        {[] { throw std::logic_error("inizializzazione impossibile"); },
         {"std::logic_error", "inizializzazione impossibile"}},
        {[] { throw &object; }, {"Tipo non riconosciuto"}},
        {[] { throw static_cast<int*>(nullptr); }, {"NULL"}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.record.front());
        const size_t mark = trace_mark();
        Received received;
        Layer layer(received);
        velin::Worker_thread worker;
        worker.set_initialisation_task(std::make_shared<Function_task>(test.thrower));
        layer.served_by(worker);
        layer.step(&Layer::record_a, Wm_app);

        worker.wake();
        ASSERT_EQ(worker.wait(5000ms), velin::Wait_signalled);
        EXPECT_FALSE(worker.is_running());
        EXPECT_EQ(worker.exit_code(), EXIT_FAILURE);
        EXPECT_EQ(count_traced(Level_error, test.record, mark), 1u);
        velin::test::deliver_for(100ms);
        EXPECT_TRUE(layer.steps().empty());
        EXPECT_TRUE(received.messages.empty());
        worker.stop();
    }
}

TEST(Worker_thread, stop_gives_up_after_5000_ms_and_the_busy_thread_ends_on_its_own)
{
    Received received;
    Test_layer layer(received);
    std::promise<void> finalised;
    auto worker = std::make_unique<velin::Worker_thread>();
    worker->set_finalisation_task(std::make_shared<Function_task>([&] { finalised.set_value(); }));
    layer.served_by(*worker);
    layer.step(&Test_layer::block, Wm_app);
    worker->wake();
    ASSERT_TRUE(eventually([&] { return layer.gate.arrived(); }));

    const auto start = std::chrono::steady_clock::now();
    worker->stop();
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 4900ms);
    EXPECT_LT(waited, 6500ms);
    EXPECT_FALSE(worker->started());
    EXPECT_EQ(worker->wait_result(), velin::Wait_timed_out);

    // The worker object goes; the thread finishes its step and its finalisation on what it owns.
    worker.reset();
    layer.gate.open();
    EXPECT_EQ(finalised.get_future().wait_for(5s), std::future_status::ready);
}

TEST(Worker_thread, terminate_abandons_a_busy_thread_without_ending_the_process)
{
    Received received;
    Test_layer layer(received);
    velin::Worker_thread worker;
    layer.served_by(worker);
    layer.step(&Test_layer::block, Wm_app);
    worker.wake();
    ASSERT_TRUE(eventually([&] { return layer.gate.arrived(); }));

    const size_t mark = trace_mark();
    worker.terminate(7);
    EXPECT_EQ(count_traced(Level_warn, {"Terminating"}, mark), 1u);
    EXPECT_FALSE(worker.started());
    EXPECT_EQ(worker.exit_code(), 7);

    // The step it was in finishes, but nothing more is posted for it.
    layer.gate.open();
    velin::test::deliver_for(300ms);
    EXPECT_TRUE(received.messages.empty());
    EXPECT_EQ(worker.exit_code(), 7);
}

TEST(Worker_thread, a_worker_dropped_without_stop_ends_its_thread)
{
    Received received;
    Layer layer(received);
    std::promise<void> finalised;
    {
        velin::Worker_thread worker;
        worker.set_finalisation_task(std::make_shared<Function_task>([&] { finalised.set_value(); }));
        layer.served_by(worker);
        layer.step(&Layer::record_a, Wm_app);
        worker.wake();
        ASSERT_TRUE(eventually([&] { return received.messages.size() == 1; }));
    }
    EXPECT_EQ(finalised.get_future().wait_for(5s), std::future_status::ready);
}

TEST(Worker_thread, misuse_is_reported_as_an_assertion)
{
    using velin::test::assertion_text;
    velin::Worker_thread idle;
    EXPECT_EQ(assertion_text([&] { idle.terminate(1); }), "Assertion failed: started ()");
    EXPECT_EQ(assertion_text([&] { idle.wait(10ms); }), "Assertion failed: started ()");

    // A worker without a task fails its step and still ends it with the message.
    Received received;
    Layer layer(received);
    velin::Worker_thread worker;
    worker.set_notification(layer.notification);
    layer.notification->set_message(Wm_app);
    worker.wake();
    ASSERT_TRUE(eventually([&] { return received.messages.size() == 1; }));
    EXPECT_GE(count_traced(Level_error, {"std::logic_error", "_task ne NULL"}), 1u);

    // A stopped worker cannot be started again.
    worker.stop();
    EXPECT_EQ(assertion_text([&] { worker.wake(); }), "Assertion failed: not is_valid ()");
}

} // namespace
