// "Leggi" on an electronic invoice: the page our stylesheet made from it, the XML as written one
// tab away, and its attachments, each savable. The widget fetches nothing the page names.
#pragma once

#include "VelinVerify/invoice/invoice_reader.h"
#include "common/file_dialog.h"

#include <QDialog>
#include <QTextBrowser>

#include <cstdint>
#include <span>
#include <string>

class QLabel;
class QListWidget;

namespace velin {

// A browser that loads no resource at all (images, style sheets, other pages) and follows no link.
class Invoice_browser : public QTextBrowser {
    Q_OBJECT
public:
    explicit Invoice_browser(QWidget* parent = nullptr);
    QVariant loadResource(int type, const QUrl& name) override;
};

class Invoice_view_dialog : public QDialog {
    Q_OBJECT
public:
    // folder: where the save dialogs start (the signed file's folder).
    Invoice_view_dialog(Invoice_reading reading, const std::string& document_name, const std::string& folder,
                        QWidget* parent = nullptr);

    // The commands, also for tests: the attachment at index of the list, the rendered page.
    void save_attachment(int index);
    void save_page();

private:
    void report(const std::string& text);
    // Asks where (the request's title, filter and name) and writes bytes there.
    void save(File_dialog_request request, std::span<const uint8_t> bytes, const char* saved, const char* failed);

    Invoice_reading _reading;
    std::string _document_name;
    std::string _folder;
    QListWidget* _attachments = nullptr;
    QLabel* _status = nullptr;
};

} // namespace velin
