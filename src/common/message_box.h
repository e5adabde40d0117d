// The one message box of the desktop programs: Windows MessageBox flags and return ids, Italian
// button captions, always on top, owned by the right window.
//
// Owner: the given widget; else the active window when it is visible; else the window of the
// program that started this one ("/parent=0x%08x" on the command line); else none.
// Tests install an answerer (set_message_box_answerer) that receives everything the box would
// show and returns the button pressed, so no test waits on a modal box.
#pragma once

#include <QtGlobal>

#include <functional>
#include <string>
#include <vector>

class QWidget;

namespace velin {

class Settings_record;

// Button sets.
constexpr unsigned MB_OK = 0x0;
constexpr unsigned MB_OKCANCEL = 0x1;
constexpr unsigned MB_ABORTRETRYIGNORE = 0x2;
constexpr unsigned MB_YESNOCANCEL = 0x3;
constexpr unsigned MB_YESNO = 0x4;
constexpr unsigned MB_RETRYCANCEL = 0x5;
constexpr unsigned MB_CANCELTRYCONTINUE = 0x6;
constexpr unsigned MB_TYPEMASK = 0xF;
// Icons.
constexpr unsigned MB_ICONERROR = 0x10;
constexpr unsigned MB_ICONQUESTION = 0x20;
constexpr unsigned MB_ICONWARNING = 0x30;
constexpr unsigned MB_ICONINFORMATION = 0x40;
constexpr unsigned MB_ICONMASK = 0xF0;
// Default button.
constexpr unsigned MB_DEFBUTTON1 = 0x000;
constexpr unsigned MB_DEFBUTTON2 = 0x100;
constexpr unsigned MB_DEFBUTTON3 = 0x200;
constexpr unsigned MB_DEFBUTTON4 = 0x300;
constexpr unsigned MB_DEFMASK = 0xF00;
// Modality and placement.
constexpr unsigned MB_APPLMODAL = 0x0000;
constexpr unsigned MB_SYSTEMMODAL = 0x1000;
constexpr unsigned MB_TASKMODAL = 0x2000;
constexpr unsigned MB_SETFOREGROUND = 0x10000;
constexpr unsigned MB_TOPMOST = 0x40000;

// Button ids returned.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;
constexpr int IDTRYAGAIN = 10;
constexpr int IDCONTINUE = 11;

enum class Message_box_owner {
    Given, // the caller's widget
    Active_window, // the visible active window
    Starter, // the starter's native window, as transient parent
    Desktop, // no owner
};

// What a box is about to show.
struct Message_box_request {
    std::string text;
    std::string caption;
    unsigned flags = 0; // as shown: the caller's flags plus MB_TOPMOST
    Message_box_owner owner_rule = Message_box_owner::Desktop;
    QWidget* owner_widget = nullptr; // Given, Active_window
    quintptr owner_id = 0; // Starter: the native window id
    std::vector<std::string> buttons; // captions, in order
    std::vector<int> button_ids; // the id each button returns
    int default_button = 0; // id of the default button
    int escape_button = 0; // id returned when the box is closed; 0 when it cannot be
    unsigned beep = 0; // the icon type whose beep sounds (MB_ICONMASK bits)
    bool platform_box = false; // error + system-modal: the platform's own box, unchanged
};

using Message_box_answerer = std::function<int(const Message_box_request& request)>;

// While an answerer is installed, boxes are not shown: the answerer's return value is the button
// pressed. An empty function restores real boxes.
void set_message_box_answerer(Message_box_answerer answerer);

// Shows the box; returns the id of the button pressed. A null caption gives "Error". Called on
// the user-interface thread only, like every widget. button_captions, when given, replace the
// captions of the flags' buttons in order (the ids stay those of the flags).
int message_box(const std::string& text, unsigned flags, QWidget* owner = nullptr, const char* caption = nullptr,
                const std::vector<std::string>& button_captions = {});

// The starter's window: taken from the first argument (argv[1] onwards) that is exactly
// "/parent=0x" followed by eight hex digits; the scan stops there. 0 is none.
void set_starter_window_from_arguments(int argc, const char* const* argv);
void set_starter_window(quintptr window);
quintptr starter_window();

// Settings_record::save_all with the suite's box for the administrator message (error icon,
// caption "Velin Manager").
void save_all_settings(Settings_record& record);

// "Velin Manager", the caption every box of the suite passes.
extern const char* const Suite_caption;

} // namespace velin
