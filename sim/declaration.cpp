#include "sim/declaration.h"

#include <algorithm>
#include <cctype>

#include "sim/cert_util.h"

namespace qe::sim {

Declaration DeclarationFor(X509* issued) {
    Declaration declaration;
    declaration.customerName = CommonName(X509_get_subject_name(issued));
    declaration.subject = NameLine(X509_get_subject_name(issued));
    declaration.serial = SerialHex(issued);
    std::transform(declaration.serial.begin(), declaration.serial.end(), declaration.serial.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    declaration.issuer = CommonName(X509_get_issuer_name(issued));
    declaration.validFrom = DateText(X509_get0_notBefore(issued));
    declaration.validTo = DateText(X509_get0_notAfter(issued));
    return declaration;
}

std::string Declaration::Title() const {
    return "DECLARAȚIE DE ACCEPTANȚĂ";
}

std::vector<std::string> Declaration::Paragraphs() const {
    return {
        "Subsemnatul/Subsemnata " + customerName +
            ", titular al certificatului calificat cu numărul de serie " + serial + ", emis de " +
            issuer + ", declar pe propria răspundere că:",
        "• am verificat datele cuprinse în certificat și confirm că sunt corecte și complete;",
        "• accept certificatul calificat și condițiile în care a fost emis;",
        "• voi păstra dispozitivul criptografic și codul PIN sub controlul meu exclusiv și voi "
        "cere de îndată revocarea certificatului dacă acestea sunt compromise.",
        "Titular: " + subject,
        "Certificatul este valabil de la " + validFrom + " până la " + validTo + ".",
        "Data emiterii: " + validFrom,
    };
}

std::string Declaration::TextToSign() const {
    std::string text = Title() + "\n";
    for (const std::string& paragraph : Paragraphs()) {
        text += paragraph + "\n";
    }
    return text;
}

}  // namespace qe::sim
