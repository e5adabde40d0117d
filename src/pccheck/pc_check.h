// The PC check itself: the opening lines, the eight checks one after the other, and the end
// lines, all written to a Check_report. The window runs one step at a time so it can paint
// between them; the command line runs them all.
#pragma once

#include "common/pkcs11_module.h"
#include "pccheck/check_report.h"
#include "pccheck/pc_check_settings.h"
#include "pccheck/pc_environment.h"

#include <memory>
#include <string>

namespace velin::pccheck {

class Pc_check {
public:
    Pc_check(Pc_environment environment, Pc_check_settings settings, Check_report& report);

    // The opening lines.
    void start();
    // Runs the next check; false when none is left (after the last one, or after an unsupported
    // system). A check that throws is reported as a problem and the run goes on.
    bool run_next();
    // The end lines. True when no problem was found.
    bool finish();
    // start, every check, finish.
    bool run_all();

    // The checks, each on its own; public for the tests that look at one.
    void check_system();
    void check_user_rights();
    void check_smart_card_service();
    void check_readers();
    void check_card();
    void check_middleware();
    void check_browsers();
    void check_java();

private:
    struct Unit_state;
    bool is_administrator() const;
    void run_check(int index);
    Unit_state unit_state(const std::string& unit);
    void check_service_with_systemd(const Unit_state& service, const Unit_state& socket);
    void check_service_without_systemd();
    void report_driver_bundles();
    void report_serial_drivers();
    void report_browser_profiles(const std::string& title, const std::string& folder);

    Pc_environment _environment;
    Pc_check_settings _settings;
    Check_report& _report;
    Pkcs11_module_origin _module_origin = Pkcs11_module_origin::Setting;
    // The service this check started, stopped when the check ends (or goes).
    std::shared_ptr<void> _started_service;
    int _next = 0;
    bool _supported = true;
};

// The "Lingua: " text of a locale name: it_IT → "Italiano (Italia)", it_CH → "Italiano
// (Svizzera)", anything else as it is.
std::string language_name(const std::string& locale);

} // namespace velin::pccheck
