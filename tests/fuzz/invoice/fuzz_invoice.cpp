// An invoice is outside bytes shown on screen: whatever a file holds, reading it ends with a page,
// a message, or "not an invoice", and the page never carries markup of the file's own.
#include "VelinVerify/invoice/invoice_reader.h"

#include <cstdint>
#include <cstdlib>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const velin::Invoice_reading reading = velin::read_invoice(std::span<const uint8_t>(data, size));
    if (!reading.invoice && (!reading.html.empty() || !reading.attachments.empty()))
        std::abort();
    if (reading.invoice && reading.html.empty() == reading.failure.empty())
        std::abort();
    if (reading.html.find("<script") != std::string::npos)
        std::abort();
    for (const velin::Invoice_attachment& attachment : reading.attachments) {
        if (attachment.body == 0 || attachment.body > reading.bodies)
            std::abort();
        const std::string name = attachment.file_name();
        if (name.empty() || name == ".." || name.find('/') != std::string::npos)
            std::abort();
    }
    return 0;
}
