// The batch's questions asked with the program's dialogs: the folder browser, the card and PIN
// dialogs, message boxes, the save dialog, and a progress window while many documents are signed.
#pragma once

#include "norax_sign/sign_batch.h"

#include <QPointer>
#include <QProgressDialog>

#include <memory>

class QWidget;

namespace velin {

class Dialog_batch_ui : public Sign_batch_ui {
public:
    // parent: the main window, or none for a batch from the command line.
    explicit Dialog_batch_ui(QWidget* parent);
    ~Dialog_batch_ui() override;

    std::optional<std::string> choose_output_folder() override;
    std::optional<Found_card> find_card() override;
    std::optional<Pin_text> enter_pin(const Found_card& card) override;
    int ask(const std::string& text, unsigned flags) override;
    std::optional<std::string> save_as(const std::string& proposed_path, bool pdf) override;
    void progress(size_t index, size_t count, const std::string& path) override;
    void show_pending_errors() override;

private:
    QWidget* _parent;
    std::unique_ptr<QProgressDialog> _progress;
};

// The factory of the program's signers: PKCS#7 and XAdES with the reader's name, PDF with its index.
Signer_factory program_signers(QWidget* parent);

} // namespace velin
