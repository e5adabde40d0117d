// Waiting in tests while the user-interface thread's event loop delivers posted messages (the
// worker's notices, queued boxes). For test programs that link Qt Core.
#pragma once

#include <QCoreApplication>

#include <chrono>
#include <functional>
#include <thread>

namespace velin::test {

// Waits until the condition holds, delivering posted messages meanwhile. False on time-out.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = std::chrono::seconds(20))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace velin::test
