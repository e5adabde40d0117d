// Stands in for a sibling program: runs for VELIN_STAND_IN_MS milliseconds (default 300).
#include <chrono>
#include <cstdlib>
#include <thread>

int main()
{
    const char* duration = std::getenv("VELIN_STAND_IN_MS");
    std::this_thread::sleep_for(std::chrono::milliseconds(duration ? std::atoi(duration) : 300));
    return 0;
}
