#include "trust/certificate_iterator.h"

#include "common/failure.h"

namespace velin {

Certificate_iterator::Certificate_iterator(const Certificate_store* store)
{
    assertion(store != nullptr, "store ne NULL");
    _certificates = store->certificates();
}

bool Certificate_iterator::is_done() const
{
    return _position >= _certificates.size();
}

void Certificate_iterator::next()
{
    assertion(!is_done(), "not is_done ()");
    ++_position;
}

const Certificate& Certificate_iterator::current() const
{
    assertion(!is_done(), "not is_done ()");
    return _certificates[_position];
}

} // namespace velin
