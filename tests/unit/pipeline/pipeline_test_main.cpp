// The layers' messages are delivered by the event loop of the thread that owns the application
// object: the tests run on it.
#include "test_folder.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

int main(int argc, char** argv)
{
    velin::test::private_environment();
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
