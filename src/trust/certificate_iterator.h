// Walks the certificates of a store, in store order, over a snapshot taken when it is made:
// changes to the store during the walk are not seen and cannot disturb it.
#pragma once

#include "trust/certificate.h"
#include "trust/certificate_store.h"

#include <vector>

namespace velin {

class Certificate_iterator {
public:
    // Positioned on the first certificate; done at once for an empty store. A null store is
    // "Assertion failed: store ne NULL".
    explicit Certificate_iterator(const Certificate_store* store);
    virtual ~Certificate_iterator() = default;

    virtual bool is_done() const;
    // "Assertion failed: not is_done ()" when done.
    virtual void next();
    // "Assertion failed: not is_done ()" when done.
    const Certificate& current() const;

private:
    std::vector<Certificate> _certificates;
    size_t _position = 0;
};

} // namespace velin
