// A transfer of the update run driven to its end without a window, as the dialog's timer drives it.
#pragma once

#include "VelinVerify/update/update_transfer.h"

#include <QEventLoop>
#include <QTimer>

namespace velin::test {

inline void poll_to_end(Update_transfer& transfer)
{
    if (!transfer.start())
        return;
    QEventLoop loop;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (transfer.poll())
            loop.quit();
    });
    timer.start(5);
    loop.exec();
}

} // namespace velin::test
