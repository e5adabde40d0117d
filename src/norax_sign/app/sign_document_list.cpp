#include "norax_sign/app/sign_document_list.h"

#include <algorithm>
#include <cstring>
#include <strings.h>

namespace velin {

namespace {

bool same_path(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && ::strcasecmp(a.c_str(), b.c_str()) == 0;
}

bool has_extension(const std::string& path, const char* extension)
{
    const size_t size = std::strlen(extension);
    return path.size() >= size && ::strcasecmp(path.c_str() + path.size() - size, extension) == 0;
}

} // namespace

bool Sign_document_list::add(const std::string& path)
{
    if (path.empty() ||
        std::any_of(_paths.begin(), _paths.end(), [&](const std::string& p) { return same_path(p, path); }))
        return false;
    _paths.push_back(path);
    _selected = _paths.size() - 1;
    keep_format_possible();
    return true;
}

void Sign_document_list::remove_selected()
{
    if (!_selected || *_selected >= _paths.size())
        return;
    _paths.erase(_paths.begin() + static_cast<std::ptrdiff_t>(*_selected));
    if (_paths.empty())
        _selected.reset();
    else
        _selected = std::min(*_selected, _paths.size() - 1);
    keep_format_possible();
}

void Sign_document_list::select(std::optional<size_t> index)
{
    _selected = index && *index < _paths.size() ? index : std::nullopt;
}

std::optional<std::string> Sign_document_list::selected_path() const
{
    if (!_selected)
        return std::nullopt;
    return _paths[*_selected];
}

void Sign_document_list::choose_format(Signature_format format)
{
    _format = format;
    keep_format_possible();
}

void Sign_document_list::keep_format_possible()
{
    if ((_format == Signature_format::Pdf && !all_pdf()) || (_format == Signature_format::Xades && !all_xml()))
        _format = Signature_format::Pkcs7;
}

bool Sign_document_list::all_pdf() const
{
    return std::all_of(_paths.begin(), _paths.end(),
                       [](const std::string& path) { return has_extension(path, ".pdf"); });
}

bool Sign_document_list::all_xml() const
{
    return std::all_of(_paths.begin(), _paths.end(),
                       [](const std::string& path) { return has_extension(path, ".xml"); });
}

Sign_buttons Sign_document_list::buttons() const
{
    Sign_buttons buttons;
    const bool listed = !_paths.empty();
    buttons.read = listed;
    buttons.sign = listed;
    buttons.remove = listed;
    buttons.sign_is_default = listed;
    buttons.pdf = all_pdf();
    buttons.xades = all_xml();
    return buttons;
}

} // namespace velin
