// Result objects, handle owners, assertions and processor faults.
#include "common/errno_text.h"
#include "common/failure.h"
#include "common/trace.h"
#include "test_folder.h"
#include "trace_records.h"

#include <gtest/gtest.h>

#include <boost/assert.hpp>

#include <cerrno>
#include <future>
#include <thread>

#include <locale.h>
#include <string.h>

namespace {

using velin::test::count_traced;
using velin::test::traced;

class File_size : public velin::Function<size_t, int, 0, 1> {
public:
    explicit File_size(const std::string& path)
    {
        velin::File_handle file(std::fopen(path.c_str(), "rb"));
        if (!file) {
            set_error("La lettura del file specificato è fallita.");
            return;
        }
        std::fseek(file.get(), 0, SEEK_END);
        set_value(static_cast<size_t>(std::ftell(file.get())));
    }
    using Function::set_error;
};

TEST(Result_objects, failure_writes_trace_record_and_resets_result)
{
    File_size missing("/nonexistent/velin");
    EXPECT_FALSE(missing.succeeded());
    EXPECT_EQ(missing.result(), 1);
    EXPECT_EQ(missing.message(), "La lettura del file specificato è fallita.");
    EXPECT_TRUE(traced(velin::Level_trace, {missing.message()}));
    try {
        (void)missing.value();
        FAIL() << "reading a failed value must assert";
    } catch (const std::logic_error& error) {
        EXPECT_STREQ(error.what(), "Assertion failed: succeeded ()");
    }

    velin::test::Test_folder folder;
    velin::test::write_file(folder / "dati", "12345");
    File_size present((folder / "dati").string());
    ASSERT_TRUE(present.succeeded());
    EXPECT_EQ(present.value(), 5u);

    // A later failure puts the result back to its initial value and composes the message.
    present.set_error("Impossibile aprire il file specificato.", "Accesso negato.");
    EXPECT_FALSE(present.succeeded());
    EXPECT_EQ(present.message(), "Impossibile aprire il file specificato.\n\nAccesso negato.");
    EXPECT_TRUE(traced(velin::Level_trace, {present.message()}));
}

struct Counting_release {
    static inline int released = 0;
    static inline bool succeed = true;
    bool operator()(int) const
    {
        ++released;
        return succeed;
    }
};
using Counted = velin::Handle<int, 0, Counting_release>;

TEST(Handles, released_once_and_a_failed_release_is_recorded)
{
    const size_t mark = velin::test::trace_mark();
    Counting_release::released = 0;
    Counting_release::succeed = true;
    {
        Counted owner(7);
        Counted moved(std::move(owner));
        EXPECT_FALSE(owner);
        Counted none;
    }
    EXPECT_EQ(Counting_release::released, 1);
    EXPECT_EQ(count_traced(velin::Level_error, {}, mark), 0u);

    Counting_release::succeed = false;
    {
        Counted failing(9);
    }
    EXPECT_EQ(Counting_release::released, 2);
    EXPECT_EQ(count_traced(velin::Level_error, {"rilascio"}, mark), 1u);
}

TEST(Assertions, programming_errors_throw_logic_error_with_condition)
{
    EXPECT_NO_THROW(velin::assertion(true, "x eq y"));
    try {
        velin::assertion(false, "root_key ne NULL");
        FAIL();
    } catch (const std::logic_error& error) {
        EXPECT_STREQ(error.what(), "Assertion failed: root_key ne NULL");
    }
}

TEST(Assertions, regular_expression_library_assertions_are_recorded_and_thrown)
{
    try {
        BOOST_ASSERT(1 + 1 == 3);
        FAIL();
    } catch (const std::runtime_error& error) {
        const std::string text = error.what();
        EXPECT_EQ(text.rfind("Asserzione fallita: 1 + 1 == 3\nat ", 0), 0u) << text;
        EXPECT_NE(text.find("failure_test.cpp ("), std::string::npos);
        EXPECT_EQ(text.back(), ')');
        EXPECT_TRUE(traced(velin::Level_error, {text}));
    }
}

int divide(int a, int b)
{
    return a / b;
}

TEST(Processor_faults, division_by_zero_becomes_exception_on_any_translating_thread)
{
    volatile int zero = 0;
    for (int round = 0; round < 3; ++round) {
        velin::SEH_translation translation;
        try {
            volatile int result = divide(10, zero);
            (void)result;
            FAIL() << "no exception";
        } catch (const velin::SEH_exception& exception) {
            EXPECT_STREQ(exception.what(), "SEH exception EXCEPTION_INT_DIVIDE_BY_ZERO");
            EXPECT_EQ(exception.code(), 0xC0000094u);
        }
    }
    std::string seen;
    std::thread worker([&] {
        velin::SEH_translation translation;
        try {
            volatile int result = divide(1, zero);
            (void)result;
        } catch (const std::exception& exception) {
            seen = exception.what();
        }
    });
    worker.join();
    EXPECT_EQ(seen, "SEH exception EXCEPTION_INT_DIVIDE_BY_ZERO");
    EXPECT_TRUE(traced(velin::Level_error, {seen}));
}

TEST(Processor_faults, without_translation_division_by_zero_still_kills)
{
    EXPECT_EXIT(
        {
            volatile int zero = 0;
            volatile int result = divide(1, zero);
            (void)result;
        },
        testing::KilledBySignal(SIGFPE), "");
}

TEST(Processor_faults, code_names)
{
    EXPECT_EQ(velin::seh_code_name(0xC0000005u), "EXCEPTION_ACCESS_VIOLATION");
    EXPECT_EQ(velin::seh_code_name(0xC00000FDu), "EXCEPTION_STACK_OVERFLOW");
    EXPECT_EQ(velin::seh_code_name(0x80000003u), "EXCEPTION_BREAKPOINT");
    EXPECT_EQ(velin::seh_code_name(0xE06D7363u), "-529697949");
    EXPECT_EQ(velin::SEH_exception(0x12u).what(), std::string("SEH exception 18"));
}

TEST(System_errors, windows_texts_and_errno_mapping)
{
    EXPECT_EQ(velin::system_error_text(2), "Impossibile trovare il file specificato.");
    EXPECT_EQ(velin::system_error_text(5), "Accesso negato.");
    EXPECT_EQ(velin::system_error_text(112), "Spazio insufficiente sul disco.");
    EXPECT_EQ(velin::system_error_text(999999), "");
    EXPECT_EQ(velin::error_code_from_errno(ENOENT), 2u);
    EXPECT_EQ(velin::error_code_from_errno(EACCES), 5u);
    EXPECT_EQ(velin::error_code_from_errno(ENOSPC), 112u);
    EXPECT_EQ(velin::error_code_from_errno(EEXIST), 80u);
    // Every mapped errno has a text.
    for (int error : {ENOENT, ENOTDIR, EACCES, EPERM, EBADF, ENOMEM, EROFS, EBUSY, EEXIST, EINVAL, ENOSPC, ENAMETOOLONG,
                      EISDIR, ENOTEMPTY, EIO, ENODEV, ETIMEDOUT})
        EXPECT_FALSE(velin::system_error_text(velin::error_code_from_errno(error)).empty()) << error;
}

TEST(System_errors, errno_texts_are_italian_with_or_without_the_italian_locale)
{
    EXPECT_EQ(velin::errno_table_text(ELOOP), "Troppi livelli di collegamenti simbolici");
    EXPECT_EQ(velin::errno_table_text(EINVAL), "Argomento non valido");
    EXPECT_EQ(velin::errno_table_text(EFBIG), "File troppo grande");
    EXPECT_EQ(velin::errno_table_text(EISDIR), "È una directory");
    EXPECT_EQ(velin::errno_table_text(ENOSPC), "Spazio esaurito sul dispositivo");
    EXPECT_EQ(velin::errno_table_text(EWOULDBLOCK), velin::errno_table_text(EAGAIN));
    EXPECT_EQ(velin::errno_table_text(98765), "Errore di sistema sconosciuto (codice 98765)");
    EXPECT_EQ(velin::errno_table_text(-3), "Errore di sistema sconosciuto (codice -3)");

    // Whichever source gives the text (the C library's Italian messages exist only where that
    // locale is installed), it is never the English one and never the generic text for a
    // common value.
    const locale_t english = ::newlocale(LC_MESSAGES_MASK, "C", locale_t(nullptr));
    ASSERT_NE(english, locale_t(nullptr));
    for (int error :
         {ENOENT,       EACCES,       EPERM,  EISDIR, ENOTDIR, ELOOP,     EINVAL,  EFBIG,  ENOSPC,  EROFS,
          EIO,          ENAMETOOLONG, EMFILE, ENFILE, ENXIO,   EBUSY,     ETXTBSY, EEXIST, ENOMEM,  ETIMEDOUT,
          ECONNREFUSED, ECONNRESET,   EPIPE,  EAGAIN, EBADF,   ENOTEMPTY, EXDEV,   EDQUOT, ENOTSUP, ECANCELED}) {
        const std::string text = velin::errno_text(error);
        EXPECT_NE(text, ::strerror_l(error, english)) << error;
        EXPECT_EQ(text.find("sconosciuto"), std::string::npos) << error << ": " << text;
        EXPECT_EQ(velin::errno_table_text(error).find("sconosciuto"), std::string::npos) << error;
    }
    ::freelocale(english);

    // An error code of the system's categories is an errno value; another category keeps its own text.
    EXPECT_EQ(velin::errno_text(std::make_error_code(std::errc::too_many_symbolic_link_levels)),
              velin::errno_text(ELOOP));
    EXPECT_EQ(velin::errno_text(std::error_code(EFBIG, std::system_category())), velin::errno_text(EFBIG));
    const std::error_code other = std::make_error_code(std::future_errc::broken_promise);
    EXPECT_EQ(velin::errno_text(other), other.message());
}

} // namespace
