#include "java_bridge/java_message.h"

#include "common/message_box.h"
#include "common/shell_open.h"
#include "common/trace.h"
#include "java_bridge/java_vm.h"

namespace velin {

const char* const Java_download_address = "https://www.java.com/it/download/";

void show_java_message()
{
    const int answer = message_box(Text_java_needed, MB_YESNO | MB_ICONINFORMATION | MB_DEFBUTTON2, nullptr,
                                   Suite_caption, {"Scarica e installa Java", "OK"});
    if (answer == IDYES && shell_open(Java_download_address) != 0)
        message_box("Operazione fallita.", MB_OK | MB_ICONERROR, nullptr, Suite_caption);
}

} // namespace velin
