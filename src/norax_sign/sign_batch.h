// The signing of a batch of documents, without widgets: the output folder, one card search and
// one PIN for every document, then each document signed and written where the user agrees. What
// needs the user (the folder browser, the card and PIN dialogs, the questions, the save dialog)
// is asked through Sign_batch_ui, which the window implements with dialogs and the tests with
// scripted answers.
#pragma once

#include "norax_sign/card_signer.h"
#include "norax_sign/timestamped_output.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velin {

class ISCard;

// Document flag: sign as PDF.
constexpr unsigned Flag_pdf = 8;
// Document flag: sign an XML document as enveloped XAdES, the signature inside the document.
constexpr unsigned Flag_xades = 32;
// The user gave up: the batch stops at once, without a summary.
constexpr uint32_t Result_cancelled = 0x800704C7;
// The user cancelled at the card (SCARD_W_CANCELLED_BY_USER): the batch stops like a cancel.
constexpr uint32_t Result_cancelled_by_user = 0x8010006E;
// A document's own result when the user chose not to sign it: the batch goes on with the next,
// and does not say that every document was signed. Never a batch's result.
constexpr uint32_t Result_not_signed = 1;

// The card the search found, attached until the batch ends (then reset and released).
struct Found_card {
    std::shared_ptr<ISCard> card;
    std::string reader_name;
    size_t reader_index = 0;
};

class Sign_batch_ui {
public:
    virtual ~Sign_batch_ui() = default;

    // The folder browser; nothing when cancelled or when the choice is not a folder of the file
    // system.
    virtual std::optional<std::string> choose_output_folder() = 0;
    // The card search; nothing when the user gave up or no reader could be listed.
    virtual std::optional<Found_card> find_card() = 0;
    // The PIN entry, checked against the card; nothing when no PIN was accepted.
    virtual std::optional<Pin_text> enter_pin(const Found_card& card) = 0;
    // A message box (message_box flags and return ids).
    virtual int ask(const std::string& text, unsigned flags) = 0;
    // The save dialog for a signed document: nothing when cancelled.
    virtual std::optional<std::string> save_as(const std::string& proposed_path, bool pdf) = 0;
    // Before each document: its position (0-based) in the batch.
    virtual void progress(size_t index, size_t count, const std::string& path) = 0;
    // Shows what the records written so far have to tell the user (the error boxes).
    virtual void show_pending_errors() = 0;
};

// Makes the signer for a batch: the PDF signer with Flag_pdf, the XAdES one with Flag_xades, else
// the PKCS#7 one.
using Signer_factory = std::function<std::unique_ptr<Card_signer>(const Found_card& card, unsigned flags)>;

struct Sign_batch_options {
    bool parallel_signature = false; // the setting "FirmaParallela"
    Signer_factory make_signer;
    // A time stamp for every document, from the authority of timestamps.
    Timestamp_form timestamp_form = Timestamp_form::None;
    std::shared_ptr<const Timestamp_client> timestamps;
};

// The folder where a batch writes: `given` when it names an existing folder; with a single
// document its folder; otherwise the user's choice (nothing: the batch ends).
std::optional<std::string> batch_output_folder(Sign_batch_ui& ui, const std::vector<std::string>& paths,
                                               const std::string& given);

// Signs every document; 0, Result_cancelled when the user gave up on the way, or Result_failed
// when the batch had to stop: the token refused the PIN (offering it again for the next
// documents could block the card), the card was taken out, or the time-stamping authority gave
// no time stamp (the next documents would fare no better, and each try may cost a credit). Documents that failed
// otherwise only suppress the final summary; failed_documents, when given, receives how many did.
uint32_t sign_batch(Sign_batch_ui& ui, const std::vector<std::string>& paths, unsigned flags,
                    const std::string& output_folder, const Sign_batch_options& options,
                    size_t* failed_documents = nullptr);

// Signs one document with the open signer: 0, Result_cancelled, Result_failed, or the signer's
// Result_pin_wrong, Result_pin_blocked or Scard_w_removed_card, or Result_timestamp_failed, after
// which the batch stops. With an M7m or Tsd form, the envelope is time-stamped by timestamps (with
// Tsr, the envelope is written as it is and the reply beside it, "X.p7m.tsr"); with
// the Pdf form, the signed PDF gets its document time stamp from them.
uint32_t sign_document(Sign_batch_ui& ui, Card_signer& signer, const Pin_text& pin, const std::string& path,
                       unsigned flags, const std::string& output_folder, bool parallel_signature,
                       Timestamp_form form = Timestamp_form::None, const Timestamp_client* timestamps = nullptr);

// The signed document replaces the file at path only once it is wholly on disk: a write that
// fails (a full disk) leaves the original as it was, which matters most when a co-signature
// overwrites the envelope it was made from. A new file gets the user's default permissions, an
// existing one keeps its own mode. Returns 0 or the errno of the failure.
int write_signed_document(const std::string& path, const Signed_output& output);

// Where a signed document goes: the folder (when given) and the document's file name, else the
// document's path; ".p7m" appended unless the document is co-signed or signed as PDF or XAdES.
std::string signed_document_path(const std::string& path, unsigned flags, const std::string& output_folder);

// What the command line of velin-sign asks for.
struct Sign_command_line {
    std::vector<std::string> documents;
    std::string output_folder; // "/dir=FOLDER"
    unsigned flags = 0; // Flag_pdf with "/pdf", Flag_xades with "/xades" or "/marca=xades-t"
    // "/marca=cades-t|m7m|tsd|pades-t|tsr"; "/marca=xades-t" is the signature's own (Signature).
    Timestamp_form timestamp_form = Timestamp_form::None;
    std::string invalid_switch; // a "/marca=" with another value
    bool timestamp_only = false; // "/solomarca": time stamps without signatures
};

// The switches "/dir=FOLDER", "/pdf", "/xades", "/marca=FORM", "/solomarca" and "/parent=..." are read by
// name wherever they stand (compared without regard to case); every other argument is a document, absolute
// paths included.
Sign_command_line parse_sign_command_line(int argc, const char* const* argv);

// The texts the user sees.
extern const char* const Text_signed_and_saved;
extern const char* const Text_signature_failed;
extern const char* const Text_pin_refused;
extern const char* const Text_pin_blocked;
extern const char* const Text_card_removed;
extern const char* const Text_save_failed;
extern const char* const Text_overwrite_original;
extern const char* const Text_exists_overwrite;
extern const char* const Text_same_signer_again;
extern const char* const Text_same_signer_again_xml;
extern const char* const Text_input_missing;
extern const char* const Text_input_folder;
extern const char* const Text_input_not_regular;
extern const char* const Text_input_empty;
extern const char* const Text_input_unreadable;

// Why a document cannot be signed, said before the card and the PIN are asked for (it does not
// exist, is a folder, a pipe or a device, is empty or cannot be read); null when it can be read.
const char* input_refusal(const std::string& path);

// Where a document's result is written: output, unless the user, asked because it would replace
// the original (replaces_original) or a file already there, chooses another name in the save
// dialog (proposed there) or cancels (nullopt).
std::optional<std::string> confirmed_output(Sign_batch_ui& ui, const std::string& output, bool replaces_original,
                                            const std::string& proposed, bool pdf);
extern const char* const Text_timestamp_pdf;
extern const char* const Text_timestamp_not_pdf;
extern const char* const Text_timestamp_xades;
extern const char* const Text_xades_only_xml;

// Why a document cannot be signed as XAdES, read and checked before the card and the PIN are asked
// for (the texts of input_refusal, then those of xades_refusal); empty when it can be.
std::string xades_input_refusal(const std::string& path);

} // namespace velin
