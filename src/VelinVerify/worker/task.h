// One unit of work for a worker thread.
#pragma once

namespace velin {

class Task {
public:
    virtual ~Task() = default;
    virtual bool is_ready() const = 0;
    virtual void run() = 0;
};

} // namespace velin
