#include "VelinVerify/worker/event.h"

namespace velin {

bool Event::create(bool manual_reset, bool initially_signalled)
{
    std::lock_guard lock(_mutex);
    if (_valid)
        return false;
    _valid = true;
    _manual_reset = manual_reset;
    _signalled = initially_signalled;
    return true;
}

bool Event::is_valid() const
{
    std::lock_guard lock(_mutex);
    return _valid;
}

bool Event::manual_reset() const
{
    std::lock_guard lock(_mutex);
    return _manual_reset;
}

bool Event::set()
{
    {
        std::lock_guard lock(_mutex);
        if (!_valid)
            return false;
        _signalled = true;
    }
    if (_manual_reset)
        _signal.notify_all();
    else
        _signal.notify_one();
    return true;
}

void Event::reset()
{
    std::lock_guard lock(_mutex);
    _signalled = false;
}

Wait_result Event::wait(std::optional<std::chrono::milliseconds> limit)
{
    std::unique_lock lock(_mutex);
    if (!_valid)
        return Wait_failed;
    const auto signalled = [this] { return _signalled; };
    if (limit) {
        if (!_signal.wait_for(lock, *limit, signalled))
            return Wait_timed_out;
    } else {
        _signal.wait(lock, signalled);
    }
    if (!_manual_reset)
        _signalled = false;
    return Wait_signalled;
}

} // namespace velin
