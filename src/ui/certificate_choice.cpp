#include "ui/certificate_choice.h"
#include "ui/ui_text.h"

#include <ctime>

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "flows/flow_support.h"
#include "messages/messages.h"
#include "toolkit/openssl_ptr.h"

namespace qe {
namespace {

constexpr int kCaptionText = 156;
constexpr int kPromptText = 157;
constexpr int kFirstColumnText = 158;  // then issuer, from, to, serial
constexpr int kColumns = 5;
constexpr int kCancelText = 137;

QString NameOf(const X509_NAME* name) {
    const int at = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (at >= 0) {
        const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, at));
        unsigned char* utf8 = nullptr;
        const int size = ASN1_STRING_to_UTF8(&utf8, value);
        if (size >= 0) {
            QString text = QString::fromUtf8(reinterpret_cast<const char*>(utf8), size);
            OPENSSL_free(utf8);
            return text;
        }
    }
    unsigned char* der = nullptr;
    const int size = i2d_X509_NAME(name, &der);
    if (size <= 0) {
        return {};
    }
    const Bytes bytes(der, der + size);
    OPENSSL_free(der);
    return QString::fromStdString(NameText(bytes));
}

QString DateOf(const ASN1_TIME* time) {
    std::tm tm{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) {
        return {};
    }
    char text[16];
    std::strftime(text, sizeof text, "%d.%m.%Y", &tm);
    return QString::fromLatin1(text);
}

}  // namespace

CertificateSummary SummarizeCertificate(const Bytes& der) {
    const unsigned char* p = der.data();
    const X509Ptr certificate(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (!certificate) {
        return {};
    }
    return {NameOf(X509_get_subject_name(certificate.get())),
            NameOf(X509_get_issuer_name(certificate.get())),
            DateOf(X509_get0_notBefore(certificate.get())),
            DateOf(X509_get0_notAfter(certificate.get())),
            QString::fromStdString(SerialNumberText(der))};
}

CertificateChoiceDialog::CertificateChoiceDialog(const std::vector<TokenCertificate>& certificates,
                                                 QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(UiText(kCaptionText));
    auto* layout = new QVBoxLayout(this);
    auto* prompt = new QLabel(WithMnemonic(UiText(kPromptText)), this);
    layout->addWidget(prompt);
    list_ = new QTreeWidget(this);
    list_->setRootIsDecorated(false);
    list_->setAllColumnsShowFocus(true);
    list_->setColumnCount(kColumns);
    QStringList headers;
    for (int i = 0; i < kColumns; ++i) {
        headers << UiText(kFirstColumnText + i);
    }
    list_->setHeaderLabels(headers);
    list_->setAccessibleName(UiText(kPromptText));
    prompt->setBuddy(list_);
    for (const TokenCertificate& certificate : certificates) {
        const CertificateSummary s = SummarizeCertificate(certificate.der);
        auto* row =
            new QTreeWidgetItem(list_, {s.subject, s.issuer, s.validFrom, s.validTo, s.serial});
        row->setToolTip(0, s.subject);
    }
    list_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    layout->addWidget(list_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Cancel)->setText(WithMnemonic(UiText(kCancelText)));
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("&OK"));
    ok_ = buttons->button(QDialogButtonBox::Ok);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(list_, &QTreeWidget::itemDoubleClicked, this, &QDialog::accept);
    connect(list_, &QTreeWidget::currentItemChanged, this,
            [this] { ok_->setEnabled(list_->currentItem() != nullptr); });
    if (list_->topLevelItemCount() > 0) {
        list_->setCurrentItem(list_->topLevelItem(0));
    }
    ok_->setEnabled(list_->currentItem() != nullptr);
    list_->setFocus(Qt::OtherFocusReason);
    resize(720, 260);
}

std::optional<std::size_t> CertificateChoiceDialog::Choice() const {
    if (result() != QDialog::Accepted || list_->currentItem() == nullptr) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(list_->indexOfTopLevelItem(list_->currentItem()));
}

}  // namespace qe
