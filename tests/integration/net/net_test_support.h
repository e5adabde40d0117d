#pragma once

#include "test_folder.h"

#include <functional>
#include <stdexcept>
#include <string>

namespace velin::test {

inline size_t count_records(const std::string& text)
{
    const std::string content = trace_content();
    size_t count = 0;
    for (size_t at = content.find(text); at != std::string::npos; at = content.find(text, at + text.size()))
        ++count;
    return count;
}

} // namespace velin::test
