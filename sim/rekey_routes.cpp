#include <optional>
#include <string>

#include <openssl/ssl.h>

#include "sim/cert_issuer.h"
#include "sim/cert_util.h"
#include "sim/header_blocks.h"
#include "sim/http_common.h"
#include "sim/issued_registry.h"
#include "sim/request_check.h"
#include "sim/routes.h"
#include "sim/subject_text.h"

namespace qe::sim {
namespace {

// The certificate the client authenticated with; the handshake already checked that it chains
// to the issuing CA.
X509Ptr ClientCertificate(const httplib::Request& request) {
    return X509Ptr(request.ssl != nullptr ? SSL_get1_peer_certificate(request.ssl) : nullptr);
}

std::optional<std::string> Identify(SimContext& context, const httplib::Request& request,
                                    httplib::Response& response) {
    return IdentifyOrder(context, request, response, ReadTokenDescriptionBlock);
}

void Root(const httplib::Request& request, httplib::Response& response) {
    X509Ptr client = ClientCertificate(request);
    AnswerText(response, 200,
               "Conexiune autentificată cu certificatul " +
                   (client ? NameLine(X509_get_subject_name(client.get())) : std::string()) + ".");
}

void ScenarioText(SimContext& context, bool fields, const httplib::Request& request,
                  httplib::Response& response) {
    if (!Identify(context, request, response)) {
        return;
    }
    const Scenario scenario = context.scenario.Get();
    AnswerText(response, 200, fields ? scenario.fieldsText : scenario.keygenText);
}

// Whether the issuing CA issued this certificate and it may still be renewed.
bool MayRenew(SimContext& context, X509* certificate) {
    const std::string serial = SerialHex(certificate);
    X509Ptr issued = FindIssued(context.stateDir, serial);
    return issued && X509_cmp(issued.get(), certificate) == 0 &&
           context.orders.Snapshot().renewedSerials.count(serial) == 0;
}

void ReceiveRequest(SimContext& context, const httplib::Request& request, const std::string& body,
                    httplib::Response& response) {
    const std::optional<std::string> tokenHash = Identify(context, request, response);
    if (!tokenHash) {
        return;
    }
    X509Ptr client = ClientCertificate(request);
    if (!client || !MayRenew(context, client.get())) {
        AnswerText(response, 403,
                   "Certificatul folosit pentru autentificare nu poate fi reînnoit.");
        return;
    }
    const Scenario scenario = context.scenario.Get();
    const bool subjectFromFields = scenario.ask4dn == "1";
    CheckedRequest checked;
    if (std::string refusal = CheckRequest(body, OfferedKeySizes(scenario.keygenText), client.get(),
                                           subjectFromFields, checked);
        !refusal.empty()) {
        AnswerText(response, 400, refusal);
        return;
    }
    X509NamePtr fieldsName;
    if (subjectFromFields) {
        std::string error;
        fieldsName = NameFromFields(scenario.fieldsText, error);
        if (!fieldsName) {
            LogLine("rekey cannot build a subject from the fields: " + error);
            AnswerText(response, 500,
                       "Datele de identificare ale titularului nu sunt complete; certificatul "
                       "nu poate fi emis.");
            return;
        }
    }
    const X509_NAME* subject =
        fieldsName ? fieldsName.get() : X509_REQ_get_subject_name(checked.request.get());
    X509Ptr issued = IssueCustomerCertificate(context.pki, subject, checked.publicKey.get(),
                                              checked.altNames.get());
    if (!issued || !RecordIssued(context.stateDir, issued.get())) {
        AnswerText(response, 500, "Certificatul nu a putut fi emis.");
        return;
    }
    const std::string issuedPem = CertificatePem(issued.get());
    const std::string renewedPem = CertificatePem(client.get());
    const HeaderLines headers = EnrollHeaders(request);
    const bool saved = context.orders.Update([&](OrderState& state) {
        Order& order = state.orders[*tokenHash];
        if (order.installed) {
            order = Order{};  // the previous renewal is complete; this one starts afresh
        }
        order.tokenHash = *tokenHash;
        order.requests.push_back(body);
        order.issuedCertificate = issuedPem;
        order.renewedCertificate = renewedPem;
        order.signatureVerified = false;
        order.installed = false;
        order.lastHeaders = headers;
        return true;
    });
    if (!saved) {
        AnswerText(response, 500, "Cererea nu a putut fi înregistrată.");
        return;
    }
    LogLine("rekey issued certificate " + SerialHex(issued.get()) + " for token " + *tokenHash);
    AnswerText(response, 200,
               "Cererea de certificat a fost primită, iar certificatul a fost emis.");
}

}  // namespace

void AddRekeyRoutes(httplib::Server& server, SimContext& context) {
    Routes routes(server, context, "rekey");
    SimContext* ctx = &context;
    routes.Get("/", [](const httplib::Request& request, const std::string&,
                       httplib::Response& response) { Root(request, response); });
    routes.Get(
        "/rest/certificate/keygenParameters",
        [ctx](const httplib::Request& request, const std::string&, httplib::Response& response) {
            ScenarioText(*ctx, false, request, response);
        });
    routes.Get("/rest/certificate/fields",
               [ctx](const httplib::Request& request, const std::string&,
                     httplib::Response& response) { ScenarioText(*ctx, true, request, response); });
    routes.Post(
        "/rest/certificate/pkcs10",
        [ctx](const httplib::Request& request, const std::string& body,
              httplib::Response& response) { ReceiveRequest(*ctx, request, body, response); });
}

}  // namespace qe::sim
