// Requests of the user-interface thread progress on its event loop: the tests run on the thread
// that owns the application object. Every server is on loopback; no proxy stands in between.
#include "test_folder.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <cstdlib>

int main(int argc, char** argv)
{
    velin::test::private_environment();
    for (const char* variable : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        ::unsetenv(variable);
    ::setenv("no_proxy", "*", 1);
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
