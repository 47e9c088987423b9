#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include <QDialog>
#include <QString>

#include "token/token_certificate.h"

class QTreeWidget;
class QPushButton;

namespace qe {

// What the choice list shows of a certificate; every field is empty for bytes that are not one.
struct CertificateSummary {
    QString subject;  // the common name, else the whole name
    QString issuer;
    QString validFrom;  // dd.MM.yyyy
    QString validTo;
    QString serial;  // as the wizard writes serial numbers
};
CertificateSummary SummarizeCertificate(const Bytes& der);

// Lets the customer pick the certificate that authenticates the request, one row per
// certificate: subject, issuer, validity, serial. OK (or Enter, or a double click) takes the
// selected row; Cancel, Escape or the close box take none.
class CertificateChoiceDialog : public QDialog {
    Q_OBJECT
public:
    CertificateChoiceDialog(const std::vector<TokenCertificate>& certificates,
                            QWidget* parent = nullptr);

    std::optional<std::size_t> Choice() const;
    QTreeWidget* List() const { return list_; }

private:
    QTreeWidget* list_ = nullptr;
    QPushButton* ok_ = nullptr;
};

}  // namespace qe
