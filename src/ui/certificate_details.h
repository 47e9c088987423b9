#pragma once

#include <utility>
#include <vector>

#include <QDialog>
#include <QString>

#include "toolkit/bytes.h"

class QLabel;

namespace qe {

// What the details dialog shows of a certificate, as text. `readable` is false for bytes that are
// not a certificate; the other fields are then empty. An extension the certificate lacks is empty.
struct CertificateDetails {
    bool readable = false;
    QString subject;  // every attribute, one per line, the most specific first
    QString issuer;
    QString validFrom;  // local time, dd.MM.yyyy HH:mm:ss
    QString validTo;
    QString serial;  // as the wizard writes serial numbers
    QString keyUsage;
    QString extendedKeyUsage;
    QString altNames;     // one per line: "E-mail: ...", "UPN: ...", others as OpenSSL names them
    QString fingerprint;  // SHA-256 of the certificate's DER, upper-case pairs joined by ":"
};
CertificateDetails DescribeCertificate(const Bytes& der);

// The certificate viewer: the details above, one labelled row each, or one line saying that the
// certificate cannot be read. Text from the certificate is shown as plain text, never as markup.
class CertificateDetailsDialog : public QDialog {
    Q_OBJECT
public:
    explicit CertificateDetailsDialog(const Bytes& der, QWidget* parent = nullptr);

    // The text shown for a field (its catalogue number), or the unreadable line (number 170).
    QString FieldText(int number) const;

private:
    std::vector<std::pair<int, QLabel*>> fields_;
};

}  // namespace qe
