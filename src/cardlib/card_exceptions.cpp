#include "cardlib/card_exceptions.h"

#include "common/trace.h"

#include <boost/format.hpp>

namespace velin::cardlib {

void require(bool ok, const char* condition)
{
    if (!ok) {
        Trace(Trace_kind, Level_error) << "Require failed: " << condition;
        throw CRequireException();
    }
}

void check(bool ok, const char* condition)
{
    if (!ok) {
        Trace(Trace_kind, Level_error) << "Check failed: " << condition;
        throw CCheckException();
    }
}

std::string trace_code(long code)
{
    return (boost::format("0x%08X") % static_cast<uint32_t>(code)).str();
}

} // namespace velin::cardlib
