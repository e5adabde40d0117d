// The installation data of the PC check, machine settings below the suite's settings key:
//   "SistemiSupportati"        distributions and versions, ";"-separated: "debian 12",
//                              "fedora 39+" (that version or newer)
//   "ModuloPKCS11"             the card middleware's PKCS#11 module (shared with the signer);
//                              when missing, the system's (OpenSC's, else p11-kit's proxy)
//   "SitoMiddleware"           where the middleware can be found (the missing-module hint)
//   "SuggerimentoJava"         what to do when no Java runtime is found
//   "JavaHome"                 the runtime chosen for the Java bridge (shared)
//   "ServerPostaAssistenza", "PortaPostaAssistenza" (dword), "StartTLSPostaAssistenza" (dword,
//   1 by default), "CasellaAssistenza"     the support request's mail transport and mailbox
#pragma once

#include <cstdint>
#include <string>

namespace velin::pccheck {

struct Pc_check_settings {
    std::string supported_systems = "debian 12;ubuntu 22.04;ubuntu 24.04;fedora 39+";
    std::string pkcs11_module; // empty: the system's
    std::string middleware_site = "https://www.cartavelin.example/";
    std::string java_hint = "Per usarle installare un ambiente Java (ad esempio il pacchetto default-jre).";
    std::string java_home;
    std::string mail_server = "localhost";
    uint32_t mail_port = 587;
    bool mail_starttls = true;
    std::string support_mailbox = "assistenza@cartavelin.example";

    // Each value found in the machine hive replaces its default.
    static Pc_check_settings load();
};

// True when the system (os-release ID and VERSION_ID) is in the list.
bool is_supported_system(const std::string& supported_systems, const std::string& id, const std::string& version);

} // namespace velin::pccheck
