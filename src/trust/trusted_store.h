// The certificates the verifier trusts, from three lists in the data folder and nothing else:
//   data/cnipa.sst  the authorities accredited by the State, trusted only once its detached
//                   signature data/cnipa.sst.p7s is verified and made by the list's publisher;
//   data/cns.sst    the authorities of the Carta Velin;
//   data/user.sst   the certificates the user chose to trust (editable, saved back).
// The three are siblings of one merged collection store, where chain building looks issuers up.
// Beside them, the trusted lists (ETSI TS 119 612) kept in the user's folder: chain building looks
// for issuers among their CA/QC certificates when the merged store has none. A root is accredited
// when it is on the CNIPA list, or when it is a CA/QC service of a trusted list granted at the
// time judged.
#pragma once

#include "trust/certificate.h"
#include "trust/certificate_store.h"
#include "trust/list_signature.h"
#include "trust/trusted_list_store.h"

#include <atomic>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace velin {

// Owner of one store, assigned at most once ("Assertion failed: handle eq NULL" otherwise); an
// assignment of nothing (a failed open) leaves it empty.
class Store_handle {
public:
    void assign(std::shared_ptr<Certificate_store> store);
    bool is_assigned() const { return _store != nullptr; }
    Certificate_store* get() const { return _store.get(); }
    const std::shared_ptr<Certificate_store>& shared() const { return _store; }

private:
    std::shared_ptr<Certificate_store> _store;
};

// Said when the program carries no publisher for the CNIPA list (a build configured without one).
inline constexpr const char* Cnipa_list_without_publisher_text =
    "La lista dei certificati accreditati dallo Stato Italiano (cnipa.sst) non è usata: in questa installazione non "
    "è configurato il certificato del suo editore. Le firme sono valutate con le liste di fiducia europee.";

// What is said, once per run, when lists of the data folder were never installed (names: their
// files, "cnipa.sst" and "cns.sst"). Empty for no names.
std::string lists_not_installed_text(const std::vector<std::string>& names);

class Trusted_store {
public:
    // Loads the lists found under data_folder (an empty folder: none), checking the CNIPA list's
    // signature against the publisher certificate given in PEM. Every failure is reported as the
    // lists are loaded; a failure of one list never stops the next. A list whose file is simply
    // not there (a machine where nobody installed it yet) is no failure: it is only noted, for
    // take_not_installed_notice. Without a publisher certificate the CNIPA list is not read.
    // personal_user_list: where this user's own list is kept (empty: data/user.sst of the data
    // folder, read and written). While that file does not exist yet, the installation's
    // data/user.sst is read in its place; saving always writes the personal file.
    // trusted_list_folder: where the verified trusted lists are kept (empty: none are used).
    explicit Trusted_store(const std::string& data_folder, const std::string& publisher_pem = list_publisher_pem,
                           std::string personal_user_list = {}, const std::string& trusted_list_folder = {});
    ~Trusted_store() = default;
    Trusted_store(const Trusted_store&) = delete;
    Trusted_store& operator=(const Trusted_store&) = delete;

    // The merged store, not owned; null when it could not be made.
    Certificate_store* merged_store() const { return _merged_store_handle_.get(); }
    bool cnipa_store_is_available() const { return _cnipa_store_handle_.is_assigned(); }
    // The CNIPA list is there and was to be used, but could not be: damaged, unreadable, or not
    // signed by its publisher (not when it was never installed, nor in a build without publisher).
    bool cnipa_list_failed() const { return _cnipa_failed; }
    bool user_store_is_available() const { return _user_store_handle_.is_assigned(); }
    // The single lists, for the certificate list dialog; null when absent.
    std::shared_ptr<Certificate_store> user_store() const { return _user_store_handle_.shared(); }
    std::shared_ptr<Certificate_store> cnipa_store() const { return _cnipa_store_handle_.shared(); }

    // The CNIPA list holds exactly this certificate (same encoding). Only the CNIPA list counts:
    // a root trusted through the card or user list is never taken for an accredited one.
    // "Assertion failed: cnipa_store_is_available ()" without the list.
    bool is_in_cnipa_list(const Certificate& certificate) const;

    // The files of the data folder's lists that were not there ("cnipa.sst", "cns.sst").
    const std::vector<std::string>& lists_not_installed() const { return _not_installed; }
    // The notice about them (lists_not_installed_text) the first time it is asked for, empty
    // afterwards and when every list is there: the run says it once, wherever it says it.
    std::string take_not_installed_notice();

    // The trusted lists in use; null when none could be loaded.
    const std::shared_ptr<const Trusted_lists>& trusted_lists() const { return _trusted_lists; }
    // Uses these lists instead of the kept ones (lists made by a test or a tool).
    void use_trusted_lists(std::shared_ptr<const Trusted_lists> lists) { _trusted_lists = std::move(lists); }
    // A list that decides whether a root is accredited is loaded: the CNIPA list or a trusted list.
    bool accredited_list_is_available() const { return cnipa_store_is_available() || _trusted_lists != nullptr; }
    // The certificate is a time-stamping authority a trusted list grants at that time (see
    // Trusted_lists::is_trusted_time_stamping_authority); false without trusted lists.
    bool is_trusted_time_stamping_authority(const Certificate& certificate, std::time_t at) const;

    // Adds (or replaces) a certificate in the user list, at once visible in the merged store;
    // the file is written by save_user_list. "Assertion failed: is_assigned (_user_store_handle_)"
    // without a user list.
    void add_user_certificate(const Certificate& certificate);
    // Writes data/user.sst as a serialized store.
    void save_user_list();

    static std::string cnipa_list_path(const std::string& data_folder);
    static std::string cnipa_signature_path(const std::string& data_folder);
    static std::string card_list_path(const std::string& data_folder);
    static std::string user_list_path(const std::string& data_folder);
    // The user's own list: $XDG_DATA_HOME/velin-manager/user.sst, else
    // $HOME/.local/share/velin-manager/user.sst; empty when neither variable is set. The data
    // folder is shared by every user of the machine and writable by none of them, so what one
    // user decides to trust is kept in that user's own folder.
    static std::string personal_user_list_path();

private:
    void load_cnipa_list(const std::string& publisher_pem);
    void load_card_list();
    void load_user_list();
    void load_trusted_lists(const std::string& folder);

    const std::string _data_folder;
    const std::string _personal_user_list;
    // Declared in this order so that they are closed merged, CNIPA, card list, user list.
    Store_handle _user_store_handle_;
    Store_handle _card_store_handle_;
    Store_handle _cnipa_store_handle_;
    Store_handle _merged_store_handle_;
    std::shared_ptr<const Trusted_lists> _trusted_lists;
    std::vector<std::string> _not_installed;
    bool _cnipa_failed = false;
    std::atomic<bool> _notice_taken{false};
};

// The process's one trusted store, made and loaded from the common data folder on the first call
// (once, whichever thread asks first), then shared until the process ends.
std::shared_ptr<Trusted_store> shared_trusted_store();

} // namespace velin
