#include "java_bridge/java_message.h"

#include "common/message_box.h"
#include "common/shell_open.h"
#include "common/trace.h"

namespace velin {

const char* const Java_download_address = "https://www.java.com/it/download/";

void show_java_message()
{
    const int answer = message_box(
        "Questa funzione richiede la disponibilità di un ambiente Java.\n\nSe su questa macchina è installato un "
        "ambiente Java,\nrivedere le impostazioni di Velin Manager.\n\nSe non ci sono ambienti Java installati, è "
        "possibile\nscaricarne e installarne uno. È possibile che le impostazioni\ndi Velin Manager vadano poi "
        "corrette.",
        MB_YESNO | MB_ICONINFORMATION | MB_DEFBUTTON2, nullptr, Suite_caption, {"Scarica e installa Java", "OK"});
    if (answer == IDYES && shell_open(Java_download_address) != 0)
        message_box("Operazione fallita.", MB_OK | MB_ICONERROR, nullptr, Suite_caption);
}

} // namespace velin
