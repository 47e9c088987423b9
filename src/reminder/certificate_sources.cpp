#include "reminder/certificate_sources.h"

#include "net/hosts.h"
#include "net/https_client.h"
#include "token/module_list.h"
#include "token/pki.h"
#include "token/token_certificate.h"

namespace qe {

std::vector<Bytes> CertificatesOnTokens() {
    NoStep outside;  // the reminder runs apart from the customer's steps
    CPKI pki(outside);
    std::vector<zel_token> tokens;
    pki.ListTokens(CReg().ModuleList(), tokens);
    std::vector<Bytes> ders;
    for (const zel_token& token : tokens) {
        std::vector<TokenCertificate> store;
        if (GetSmartCardStore(outside, token, store) == 0) {
            for (TokenCertificate& certificate : store) {
                ders.push_back(std::move(certificate.der));
            }
        }
    }
    return ders;
}

std::vector<Bytes> AskIssuers() {
    std::vector<Bytes> issuers;
    const Endpoint rekey = RekeyHost();
    NoNetworkStep outside;
    CHttpsClient probe(outside);
    if (probe.Connect(std::wstring(rekey.host.begin(), rekey.host.end()), rekey.port) ==
        ERR_SUCCESS) {
        probe.SendRequest(L"/", nullptr, nullptr);  // only the handshake's issuer list matters
        probe.GetAcceptedIssuers(issuers);
    }
    return issuers;
}

}  // namespace qe
