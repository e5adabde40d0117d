#include "VelinVerify/envelope/document_bytes.h"

#include "common/failure.h"

namespace velin {

Document_bytes::Document_bytes(std::vector<uint8_t> bytes)
{
    if (bytes.empty())
        return;
    auto held = std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
    _view = *held;
    _holder = std::move(held);
}

Document_bytes::Document_bytes(std::shared_ptr<const Mapped_file> file)
{
    if (!file)
        return;
    _view = file->bytes();
    _holder = file;
    _file = std::move(file);
}

Document_bytes Document_bytes::range(size_t offset, size_t size) const
{
    assertion(offset <= _view.size() && size <= _view.size() - offset, "offset + size <= size ()");
    Document_bytes part = *this;
    part._view = _view.subspan(offset, size);
    return part;
}

} // namespace velin
