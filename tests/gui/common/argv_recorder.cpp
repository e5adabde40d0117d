// Stands in for velin-verify in the launcher tests: appends its arguments, one per line and then
// a line "--", to the file named by VELIN_TEST_ARGV_FILE, after sleeping VELIN_TEST_SLEEP_MS.
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    const char* file = std::getenv("VELIN_TEST_ARGV_FILE");
    if (!file)
        return 2;
    if (const char* sleep = std::getenv("VELIN_TEST_SLEEP_MS"))
        ::usleep(static_cast<useconds_t>(std::atoi(sleep)) * 1000);
    std::string block;
    for (int i = 1; i < argc; ++i)
        block += std::string(argv[i]) + "\n";
    block += "--\n";
    const int descriptor = ::open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (descriptor < 0)
        return 3;
    const bool written = ::write(descriptor, block.data(), block.size()) == static_cast<ssize_t>(block.size());
    ::close(descriptor);
    return written ? 0 : 4;
}
