// In the signer every record of level ERROR or worse reaches the user as an error box. The log
// hook only collects the texts (it runs under the log's lock, where no window may be opened);
// the flow shows them at its next step, in the order they were written.
#pragma once

class QWidget;

namespace velin {

void install_error_box_hook();
void remove_error_box_hook();

// Shows the collected texts, one box each (error icon, caption "Velin Manager"); the owner is
// the active window, else the starter's window, else none.
void show_pending_error_boxes(QWidget* owner = nullptr);

} // namespace velin
