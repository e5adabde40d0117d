#include "common/secret_field.h"

#include <QLineEdit>

#include <openssl/crypto.h>

namespace velin {

Pin_text field_secret(const QLineEdit& field)
{
    Pin_text secret;
    const QString text = field.text();
    for (const QChar c : text) {
        if (c.unicode() > 0x7F || !secret.push_back(static_cast<char>(c.unicode()))) {
            secret.wipe();
            secret.push_back('x');
            break;
        }
    }
    return secret;
}

void wipe_field(QLineEdit& field)
{
    QString text = field.text();
    // Static text (a literal set by a test) is read-only and holds nothing typed.
    if (text.data_ptr().isMutable())
        OPENSSL_cleanse(const_cast<QChar*>(text.constData()), static_cast<size_t>(text.size()) * sizeof(QChar));
    text = QString();
    field.clear();
}

} // namespace velin
