#include "ui/certificate_details.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <iterator>
#include <utility>

#include <QDateTime>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <openssl/sha.h>

#include "flows/flow_support.h"
#include "toolkit/openssl_ptr.h"
#include "toolkit/utf8.h"
#include "ui/ui_text.h"

namespace qe {
namespace {

using Asn1BitStringPtr = OpenSslPtr<ASN1_BIT_STRING, ASN1_BIT_STRING_free>;
using ExtendedKeyUsagePtr = OpenSslPtr<EXTENDED_KEY_USAGE, EXTENDED_KEY_USAGE_free>;

constexpr int kCaptionText = 163;
constexpr int kSubjectText = 164;
constexpr int kIssuerText = 165;
constexpr int kValidFromText = 160;
constexpr int kValidToText = 161;
constexpr int kSerialText = 162;
constexpr int kKeyUsageText = 166;
constexpr int kExtendedKeyUsageText = 167;
constexpr int kAltNamesText = 168;
constexpr int kFingerprintText = 169;
constexpr int kUnreadableText = 170;
constexpr int kUndecodedText = 221;

QString BioText(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return QString::fromUtf8(data, size > 0 ? static_cast<qsizetype>(size) : 0);
}

QString NameLines(const X509_NAME* name) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    // Most specific first, one attribute a line, UTF-8 kept, control characters escaped.
    constexpr unsigned long kFlags = (ASN1_STRFLGS_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) |
                                     XN_FLAG_SEP_MULTILINE | XN_FLAG_DN_REV | XN_FLAG_FN_SN |
                                     XN_FLAG_SPC_EQ | XN_FLAG_DUMP_UNKNOWN_FIELDS;
    X509_NAME_print_ex(bio.get(), name, 0, kFlags);
    return BioText(bio.get());
}

QString TimeText(const ASN1_TIME* time) {
    std::tm tm{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) {
        return {};
    }
    const QDateTime utc(QDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday),
                        QTime(tm.tm_hour, tm.tm_min, tm.tm_sec), Qt::UTC);
    return utc.toLocalTime().toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"));
}

// For an extension that could not be decoded: nothing when it is absent, else a text saying so.
QString UndecodedText(X509* certificate, int nid) {
    return X509_get_ext_by_NID(certificate, nid, -1) < 0 ? QString() : UiText(kUndecodedText);
}

// Romanian names of the key usage bits, in the order of their bit numbers.
constexpr const char* kKeyUsageNames[] = {
    "Semnătură digitală",
    "Nerepudiere",
    "Cifrare chei",
    "Cifrare date",
    "Acord de chei",
    "Semnare certificate",
    "Semnare liste de revocare",
    "Numai cifrare",
    "Numai descifrare",
};

// Romanian names of the extended key usages qualified and authentication certificates carry.
constexpr std::pair<const char*, const char*> kExtendedKeyUsageNames[] = {
    {"1.3.6.1.5.5.7.3.1", "Autentificare server"},
    {"1.3.6.1.5.5.7.3.2", "Autentificare client"},
    {"1.3.6.1.5.5.7.3.3", "Semnare cod"},
    {"1.3.6.1.5.5.7.3.4", "Protecție e-mail"},
    {"1.3.6.1.5.5.7.3.8", "Marcare temporală"},
    {"1.3.6.1.5.5.7.3.9", "Semnare răspunsuri OCSP"},
    {"1.3.6.1.5.5.7.3.36", "Semnare documente"},
    {"1.3.6.1.4.1.311.10.3.12", "Semnare documente"},
    {"1.3.6.1.4.1.311.20.2.2", "Autentificare cu card inteligent"},
    {"1.2.840.113583.1.1.5", "Semnare documente PDF"},
    {"2.5.29.37.0", "Orice utilizare"},
};

QString KeyUsageText(X509* certificate) {
    int critical = 0;
    const Asn1BitStringPtr bits(static_cast<ASN1_BIT_STRING*>(
        X509_get_ext_d2i(certificate, NID_key_usage, &critical, nullptr)));
    if (!bits) {
        return UndecodedText(certificate, NID_key_usage);
    }
    QStringList names;
    for (int bit = 0; bit < static_cast<int>(std::size(kKeyUsageNames)); ++bit) {
        if (ASN1_BIT_STRING_get_bit(bits.get(), bit) == 1) {
            names << QString::fromUtf8(kKeyUsageNames[bit]);
        }
    }
    return names.join(QStringLiteral(", "));
}

// A usage without a Romanian name keeps OpenSSL's name for it, or its dotted number.
QString ExtendedKeyUsageText(X509* certificate) {
    int critical = 0;
    const ExtendedKeyUsagePtr usages(static_cast<EXTENDED_KEY_USAGE*>(
        X509_get_ext_d2i(certificate, NID_ext_key_usage, &critical, nullptr)));
    if (!usages) {
        return UndecodedText(certificate, NID_ext_key_usage);
    }
    QStringList names;
    for (int i = 0; i < sk_ASN1_OBJECT_num(usages.get()); ++i) {
        const ASN1_OBJECT* usage = sk_ASN1_OBJECT_value(usages.get(), i);
        char oid[128];
        OBJ_obj2txt(oid, sizeof oid, usage, 1);
        const auto* known =
            std::find_if(std::begin(kExtendedKeyUsageNames), std::end(kExtendedKeyUsageNames),
                         [&oid](const auto& entry) { return std::strcmp(entry.first, oid) == 0; });
        if (known != std::end(kExtendedKeyUsageNames)) {
            names << QString::fromUtf8(known->second);
        } else {
            char name[128];
            OBJ_obj2txt(name, sizeof name, usage, 0);
            names << QString::fromUtf8(name);
        }
    }
    return names.join(QStringLiteral(", "));
}

QString AltNameText(const GENERAL_NAME* name) {
    int type = 0;
    const void* value = GENERAL_NAME_get0_value(name, &type);
    if (type == GEN_EMAIL) {
        const auto* text = static_cast<const ASN1_IA5STRING*>(value);
        return QStringLiteral("E-mail: ") +
               QString::fromLatin1(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                                   ASN1_STRING_length(text));
    }
    ASN1_OBJECT* oid = nullptr;
    ASN1_TYPE* other = nullptr;
    if (type == GEN_OTHERNAME && GENERAL_NAME_get0_otherName(name, &oid, &other) == 1 &&
        OBJ_obj2nid(oid) == NID_ms_upn && other != nullptr && other->type == V_ASN1_UTF8STRING) {
        const ASN1_UTF8STRING* text = other->value.utf8string;
        return QStringLiteral("UPN: ") +
               QString::fromUtf8(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                                 ASN1_STRING_length(text));
    }
    BioPtr bio(BIO_new(BIO_s_mem()));
    GENERAL_NAME_print(bio.get(), const_cast<GENERAL_NAME*>(name));
    return BioText(bio.get());
}

QString AltNamesText(X509* certificate) {
    int critical = 0;
    const GeneralNamesPtr names(static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(certificate, NID_subject_alt_name, &critical, nullptr)));
    if (!names) {
        return UndecodedText(certificate, NID_subject_alt_name);
    }
    QStringList lines;
    for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
        lines << AltNameText(sk_GENERAL_NAME_value(names.get(), i));
    }
    return lines.join(QLatin1Char('\n'));
}

QString Fingerprint(const unsigned char* der, std::size_t size) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(der, size, digest);
    QStringList pairs;
    for (const unsigned char octet : digest) {
        pairs << QStringLiteral("%1").arg(octet, 2, 16, QLatin1Char('0')).toUpper();
    }
    return pairs.join(QLatin1Char(':'));
}

}  // namespace

CertificateDetails DescribeCertificate(const Bytes& der) {
    const unsigned char* p = der.data();
    const X509Ptr certificate(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (!certificate) {
        return {};
    }
    X509* c = certificate.get();
    CertificateDetails details;
    details.readable = true;
    details.subject = NameLines(X509_get_subject_name(c));
    details.issuer = NameLines(X509_get_issuer_name(c));
    details.validFrom = TimeText(X509_get0_notBefore(c));
    details.validTo = TimeText(X509_get0_notAfter(c));
    details.serial = QString::fromStdString(SerialNumberText(der));
    details.keyUsage = KeyUsageText(c);
    details.extendedKeyUsage = ExtendedKeyUsageText(c);
    details.altNames = AltNamesText(c);
    details.fingerprint = Fingerprint(der.data(), static_cast<std::size_t>(p - der.data()));
    return details;
}

CertificateDetailsDialog::CertificateDetailsDialog(const Bytes& der, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(UiText(kCaptionText));
    auto* layout = new QVBoxLayout(this);
    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(16);
    grid->setColumnStretch(1, 1);
    layout->addLayout(grid);

    auto addRow = [this, grid](int number, const QString& text) {
        auto* value = new QLabel(this);
        value->setTextFormat(Qt::PlainText);  // names and extensions are the server's text
        // Numbers are shown whole, as they are compared; names are the server's, of any length.
        const bool whole = number == kFingerprintText || number == kSerialText;
        value->setText(text.isEmpty() ? QStringLiteral("—")
                       : whole        ? text
                               : QString::fromStdWString(TextForScreen(text.toStdWString())));
        value->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        value->setWordWrap(number != kFingerprintText);
        value->setAccessibleName(UiText(number));
        const int row = grid->rowCount();
        grid->addWidget(new QLabel(UiText(number), this), row, 0, Qt::AlignTop);
        grid->addWidget(value, row, 1, Qt::AlignTop);
        fields_.emplace_back(number, value);
    };
    const CertificateDetails details = DescribeCertificate(der);
    if (!details.readable) {
        auto* line = new QLabel(UiText(kUnreadableText), this);
        line->setTextFormat(Qt::PlainText);
        layout->insertWidget(0, line);
        fields_.emplace_back(kUnreadableText, line);
    } else {
        addRow(kSubjectText, details.subject);
        addRow(kIssuerText, details.issuer);
        addRow(kValidFromText, details.validFrom);
        addRow(kValidToText, details.validTo);
        addRow(kSerialText, details.serial);
        addRow(kKeyUsageText, details.keyUsage);
        addRow(kExtendedKeyUsageText, details.extendedKeyUsage);
        addRow(kAltNamesText, details.altNames);
        addRow(kFingerprintText, details.fingerprint);
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("&OK"));
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

QString CertificateDetailsDialog::FieldText(int number) const {
    for (const auto& [n, label] : fields_) {
        if (n == number) {
            return label->text();
        }
    }
    return {};
}

}  // namespace qe
