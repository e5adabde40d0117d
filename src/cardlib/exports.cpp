// The library's exported functions. Nothing escapes them: every failure becomes a result code
// and the process-wide last error text.
#include "noraxcard.h"

#include "cardlib/card_call.h"
#include "cardlib/card_exceptions.h"
#include "cardlib/card_file_reader.h"
#include "cardlib/card_kit.h"
#include "cardlib/error_translation.h"
#include "cardlib/reading_prompt.h"
#include "common/trace.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <strings.h>

namespace velin::cardlib {

namespace {

// The build gives it, from the suite's version.
constexpr norax_result Dll_version = NORAX_DLL_VERSION;

// A failure found by the boundary itself (pointer and size checks).
struct Result_code {
    norax_result code;
};

norax_result fail(norax_result code, const std::exception* exception = nullptr)
{
    try {
        set_last_error_text(error_text(code, exception));
        Trace(Trace_kind, Level_error) << "Risultato " << trace_code(static_cast<long>(code)) << ": "
                                       << (exception ? exception->what() : "") << " - " << last_error_text();
    } catch (...) {
        // Out of memory while composing the text: the code still goes back.
    }
    return code;
}

// Runs one exported operation with its own kit; the kit (and with it the card connection) is
// gone before the result is returned.
template <class Operation>
norax_result boundary(const char* name, Operation&& operation)
{
    try {
        Trace_block block(name);
        {
            // The call's card time: the kit, and with it every PC/SC call, lives inside it.
            Card_call call;
            CKit kit;
            operation(kit);
        }
        return 0;
    } catch (const Result_code& result) {
        return fail(result.code);
    } catch (const std::exception& e) {
        norax_result code = E_FAIL_RESULT;
        try {
            code = code_from_current_exception();
        } catch (...) {
        }
        return fail(code, &e);
    } catch (...) {
        norax_result code = E_FAIL_RESULT;
        try {
            code = code_from_current_exception();
        } catch (...) {
        }
        return fail(code);
    }
}

std::string base64_lines(const Bytes& bytes)
{
    std::string encoded(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()), bytes.data(), static_cast<int>(bytes.size()));
    encoded.resize(static_cast<size_t>(std::max(length, 0)));
    std::string lines;
    for (size_t at = 0; at < encoded.size(); at += 76) {
        if (at)
            lines += "\r\n";
        lines += encoded.substr(at, 76);
    }
    return lines;
}

enum class Property { Issuer, Manufacturer, Type, Atr, Certificate };

std::optional<Property> property_of(const char* name)
{
    if (!name)
        return std::nullopt;
    static constexpr std::pair<const char*, Property> names[] = {
        {"issuer", Property::Issuer}, {"manufacturer", Property::Manufacturer}, {"type", Property::Type},
        {"atr", Property::Atr},       {"certificate", Property::Certificate},
    };
    for (const auto& [text, property] : names)
        if (strcasecmp(name, text) == 0)
            return property;
    return std::nullopt;
}

// A technical property's text; the holder was asked already.
std::string technical_text(CKit& kit, Property property)
{
    switch (property) {
    case Property::Issuer:
        return kit.issuer();
    case Property::Manufacturer:
        return kit.manufacturer();
    case Property::Type:
        return kit.card_type();
    default:
        return kit.atr_text();
    }
}

// The certificate file as base64 lines, for a caller's capacity of capacity characters.
std::string certificate_text(Bytes file, uint32_t capacity)
{
    // The certificate is read into twice the caller's capacity: a longer file is reported as a
    // buffer too small, like the read itself would.
    if (file.size() > 2 * static_cast<uint64_t>(capacity))
        throw Result_code{ERROR_MORE_DATA_CODE};
    file.resize(der_object_length(file));
    return base64_lines(file);
}

// A property's text and its zero into the caller's buffer.
void copy_text(const std::string& value, char* buffer, uint32_t* size)
{
    if (*size >= 0x80000000u)
        throw Result_code{E_INVALIDARG_CODE};
    if (*size <= value.size())
        throw Result_code{ERROR_MORE_DATA_CODE};
    std::memcpy(buffer, value.c_str(), value.size() + 1);
    *size = static_cast<uint32_t>(value.size());
}

// A file's bytes into the caller's buffer; too small a buffer is told the length.
void copy_bytes(const Bytes& content, uint8_t* buffer, uint32_t* size)
{
    if (*size < content.size()) {
        *size = static_cast<uint32_t>(content.size());
        throw Result_code{ERROR_MORE_DATA_CODE};
    }
    std::copy(content.begin(), content.end(), buffer);
    *size = static_cast<uint32_t>(content.size());
}

// More than a view could show: a caller passing a count beyond it has a broken count.
constexpr uint32_t Max_view_items = 64;

struct Failure {
    norax_result code = E_FAIL_RESULT;
    std::string text;
};

// The failure being handled; call inside a catch block.
Failure current_failure()
{
    Failure failure;
    try {
        try {
            throw;
        } catch (const Result_code& result) {
            failure.code = result.code;
            failure.text = error_text(result.code);
        } catch (const std::exception& e) {
            failure.code = code_from_current_exception();
            failure.text = error_text(failure.code, &e);
        } catch (...) {
            failure.code = code_from_current_exception();
            failure.text = error_text(failure.code);
        }
    } catch (...) {
        // Out of memory while composing the text: the code still goes back.
    }
    return failure;
}

// One item of norax_read_items on its way: what it reads, and whether it is settled.
struct View_item {
    norax_item* item = nullptr;
    std::optional<Property> property; // nothing: a file
    CKit::Resolved file; // a file, and the certificate
    bool listed = false; // the view's question named it
    bool settled = false;
    std::string text; // the failure's whole text
};

void settle(View_item& view_item, const Failure& failure)
{
    norax_item& item = *view_item.item;
    view_item.settled = true;
    item.result = failure.code;
    view_item.text = failure.text;
    if (item.message && item.message_size) {
        // Cut on a character's first byte, so the caller gets valid UTF-8.
        size_t length = std::min<size_t>(failure.text.size(), item.message_size - 1);
        while (length < failure.text.size() && length > 0 && (failure.text[length] & 0xC0) == 0x80)
            --length;
        std::memcpy(item.message, failure.text.data(), length);
        item.message[length] = '\0';
    }
}

// Runs one item's step; its failure settles the item, and the view goes on.
template <class Step>
void item_step(View_item& item, Step&& step)
{
    if (item.settled)
        return;
    try {
        step();
    } catch (...) {
        settle(item, current_failure());
    }
}

// Runs a step of the whole view; its failure settles every item still open, and ends the call.
template <class Step>
void view_step(std::vector<View_item>& items, Step&& step)
{
    try {
        step();
    } catch (...) {
        const Failure failure = current_failure();
        for (View_item& item : items)
            if (!item.settled)
                settle(item, failure);
        throw;
    }
}

// What the view's question lists for the items: each described once, in the items' order.
std::vector<CNS_known_file_info> consent_list(std::vector<View_item>& items)
{
    std::vector<CNS_known_file_info> list;
    auto add = [&list](const CNS_known_file_info& info) {
        for (const CNS_known_file_info& listed : list)
            if (listed.short_description == info.short_description)
                return;
        list.push_back(info);
    };
    for (View_item& item : items) {
        if (item.settled)
            continue;
        if (item.property && *item.property != Property::Certificate) {
            add(technical_information());
            item.listed = true;
        } else if (item.file.access == Access_free && item.file.info) {
            // Files protected by the PIN get the PIN dialog, and files the catalogue does not
            // describe their question after the read, as when read one by one.
            add(*item.file.info);
            item.listed = true;
        }
    }
    return list;
}

// Reads the view; first_failure: the first item's failure, when every item did not succeed.
void read_view(CKit& kit, norax_item* items, uint32_t count, Failure& first_failure)
{
    if (!items)
        throw Result_code{E_POINTER_CODE};
    if (count == 0 || count > Max_view_items)
        throw Result_code{E_INVALIDARG_CODE};
    std::vector<View_item> view(count);
    for (uint32_t i = 0; i < count; ++i) {
        view[i].item = &items[i];
        items[i].result = E_FAIL_RESULT;
        if (items[i].message && items[i].message_size)
            items[i].message[0] = '\0';
    }
    // The card first: without one, or without a card the library reads, nobody is asked.
    view_step(view, [&] { kit.card(); });

    for (View_item& item : view) {
        item_step(item, [&] {
            const norax_item& request = *item.item;
            if (!request.buffer)
                throw Result_code{E_POINTER_CODE};
            if (request.kind == NORAX_ITEM_PROPERTY) {
                item.property = property_of(request.name);
                if (!item.property)
                    throw Result_code{E_INVALIDARG_CODE};
                if (*item.property != Property::Certificate)
                    return;
            } else if (request.kind != NORAX_ITEM_FILE) {
                throw Result_code{E_INVALIDARG_CODE};
            }
            kit.open_readable_card();
            item.file = kit.resolve(item.property ? "EF.C_CARTA" : request.name);
        });
    }

    const std::vector<CNS_known_file_info> list = consent_list(view);
    if (!list.empty()) {
        try {
            view_step(view, [&] { ask_consent(list); });
        } catch (const CEnumException<BASIC_ERRORS::CError>& e) {
            if (e.code() != BASIC_ERRORS::Cancelled)
                throw;
            // view_step gave every item the refusal of a file; a technical property is refused as
            // its own question's No is.
            for (View_item& item : view)
                if (item.listed && item.property && *item.property != Property::Certificate)
                    settle(item, Failure{E_ACCESSDENIED_CODE, error_text(E_ACCESSDENIED_CODE)});
            throw;
        }
    }

    for (View_item& item : view) {
        item_step(item, [&] {
            norax_item& request = *item.item;
            if (!item.property) {
                copy_bytes(kit.select_and_read(item.file, item.listed), request.buffer, &request.size);
                return;
            }
            const std::string value = *item.property == Property::Certificate
                                          ? certificate_text(kit.select_and_read(item.file, item.listed), request.size)
                                          : technical_text(kit, *item.property);
            copy_text(value, reinterpret_cast<char*>(request.buffer), &request.size);
        });
        if (!item.settled) {
            item.item->result = 0;
            item.settled = true;
        }
    }
    for (const View_item& item : view) {
        if (item.item->result != 0) {
            first_failure = Failure{item.item->result, item.text};
            return;
        }
    }
    first_failure.code = 0;
}

} // namespace

} // namespace velin::cardlib

using namespace velin::cardlib;

extern "C" {

NORAX_API norax_result NORAX_CALL norax_dll_version(void)
{
    return Dll_version;
}

NORAX_API norax_result NORAX_CALL norax_error_message(char* buffer, uint32_t* size)
{
    try {
        if (!size)
            return E_POINTER_CODE;
        const std::string text = last_error_text();
        if (*size <= text.size()) {
            *size = static_cast<uint32_t>(text.size());
            return ERROR_MORE_DATA_CODE;
        }
        if (!buffer)
            return E_POINTER_CODE;
        std::memcpy(buffer, text.c_str(), text.size() + 1);
        *size = static_cast<uint32_t>(text.size());
        return 0;
    } catch (...) {
        return E_OUTOFMEMORY_CODE;
    }
}

NORAX_API norax_result NORAX_CALL norax_read_binary(const char* file_name, uint8_t* buffer, uint32_t* size)
{
    return boundary("norax_read_binary", [&](CKit& kit) {
        if (!buffer || !size)
            throw Result_code{E_POINTER_CODE};
        copy_bytes(kit.read_file(file_name), buffer, size);
    });
}

NORAX_API norax_result NORAX_CALL norax_read_ef_dati_personali(uint8_t* buffer, uint32_t* size)
{
    return norax_read_binary("EF.Dati_personali", buffer, size);
}

NORAX_API norax_result NORAX_CALL norax_card_property(const char* name, char* buffer, uint32_t* size)
{
    return boundary("norax_card_property", [&](CKit& kit) {
        if (!buffer || !size)
            throw Result_code{E_POINTER_CODE};
        const auto property = property_of(name);
        if (!property)
            throw Result_code{E_INVALIDARG_CODE};
        std::string value;
        if (*property == Property::Certificate) {
            value = certificate_text(kit.read_file("EF.C_CARTA"), *size);
        } else {
            ask_property_consent();
            value = technical_text(kit, *property);
        }
        copy_text(value, buffer, size);
    });
}

NORAX_API norax_result NORAX_CALL norax_read_items(norax_item* items, uint32_t count)
{
    Failure first;
    const norax_result result = boundary("norax_read_items", [&](CKit& kit) { read_view(kit, items, count, first); });
    if (result != 0 || first.code == 0)
        return result;
    try {
        set_last_error_text(first.text);
    } catch (...) {
    }
    return first.code;
}

} // extern "C"
