#pragma once

#include <string>
#include <vector>

#include <openssl/x509.h>

namespace qe::sim {

// The acceptance declaration of an issued certificate: what the previews show and what the
// customer signs. Everything in it follows from the certificate, so it reads the same on every
// request and after a restart.
struct Declaration {
    std::string customerName;  // the certificate's commonName
    std::string subject;       // the whole subject on one line
    std::string serial;        // upper-case hexadecimal
    std::string issuer;        // the issuing CA's commonName
    std::string validFrom;     // dd.mm.yyyy
    std::string validTo;

    std::string Title() const;
    // The body, one paragraph per entry.
    std::vector<std::string> Paragraphs() const;
    // The text the customer signs (UTF-8): the title and the paragraphs, one per line.
    std::string TextToSign() const;
};

Declaration DeclarationFor(X509* issued);

}  // namespace qe::sim
