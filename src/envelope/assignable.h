// A value worked out later, possibly on another thread, with the state of that work: the record of
// an analysed file is made empty and filled field by field while the user watches it.
#pragma once

#include "common/failure.h"

#include <string>
#include <utility>

namespace velin {

enum class Assignable_state : int {
    Pending = 0, // not worked out yet
    Unavailable = 1, // the file does not carry it
    Assigned = 2, // the value is valid
    Failed = 3, // decoding failed; the message says why
};

template <class T>
class Assignable {
public:
    Assignable() = default;

    Assignable_state state() const { return _state; }
    bool is_assigned() const { return _state == Assignable_state::Assigned; }
    const std::string& message() const { return _message; }

    // Reading a value that was not worked out is a programming error.
    const T& value() const
    {
        assertion(is_assigned(), "is_assigned ()");
        return _value;
    }
    T& value()
    {
        assertion(is_assigned(), "is_assigned ()");
        return _value;
    }

    void assign(T value)
    {
        _value = std::move(value);
        _message.clear();
        _state = Assignable_state::Assigned;
    }
    void set_unavailable(std::string message = {})
    {
        _value = T{};
        _message = std::move(message);
        _state = Assignable_state::Unavailable;
    }
    void set_failed(std::string message)
    {
        _value = T{};
        _message = std::move(message);
        _state = Assignable_state::Failed;
    }
    void set_pending()
    {
        _value = T{};
        _message.clear();
        _state = Assignable_state::Pending;
    }

private:
    T _value{};
    std::string _message;
    Assignable_state _state = Assignable_state::Pending;
};

} // namespace velin
