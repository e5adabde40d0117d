// The worker's messages are delivered by the user-interface thread's event loop: the tests run on
// the thread that owns the application object.
#include "test_folder.h"
#include "worker_test_support.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

int main(int argc, char** argv)
{
    velin::test::private_environment();
    QCoreApplication application(argc, argv);
    velin::test::Layer::main_thread();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
