#include <algorithm>
#include <cctype>
#include <optional>
#include <string>
#include <vector>

#include "sim/cert_util.h"
#include "sim/declaration.h"
#include "sim/delivery_builder.h"
#include "sim/header_blocks.h"
#include "sim/http_common.h"
#include "sim/issued_registry.h"
#include "sim/previews.h"
#include "sim/routes.h"
#include "toolkit/secret.h"

namespace qe::sim {
namespace {

constexpr std::size_t kSegmentSize = 1024;
constexpr std::size_t kMaxSerialsInQuery = 64;

const char* const kNoPendingOrder =
    "Nu există niciun certificat emis care să aștepte instalarea pe acest dispozitiv.";

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

std::optional<std::string> Identify(SimContext& context, const httplib::Request& request,
                                    httplib::Response& response) {
    return IdentifyOrder(context, request, response, ReadTokenHashBlock);
}

// The order of this token while its certificate waits for installation; otherwise answers 404.
std::optional<Order> PendingOrder(SimContext& context, const std::string& tokenHash,
                                  httplib::Response& response) {
    const OrderState state = context.orders.Snapshot();
    const auto order = state.orders.find(tokenHash);
    if (order == state.orders.end() || !order->second.AwaitsInstallation()) {
        AnswerText(response, 404, kNoPendingOrder);
        return std::nullopt;
    }
    return order->second;
}

bool IsRenewable(SimContext& context, const OrderState& state, const std::string& serial) {
    if (state.renewedSerials.count(serial) != 0) {
        return false;
    }
    X509Ptr certificate = FindIssued(context.stateDir, serial);
    return certificate && X509_cmp_current_time(X509_get0_notAfter(certificate.get())) > 0;
}

}  // namespace

std::string DefaultStatusText(bool installPending, bool renewable, bool installed) {
    if (installPending) {
        return "Certificatul nou a fost emis și așteaptă să fie încărcat pe dispozitiv.";
    }
    if (renewable) {
        return "Certificatul dumneavoastră poate fi reînnoit. Generați o cerere nouă.";
    }
    if (installed) {
        return "Certificatul nou este instalat pe dispozitiv.";
    }
    return "Nu există certificate care pot fi reînnoite pe acest dispozitiv.";
}

namespace {

void Status(SimContext& context, const httplib::Request& request, httplib::Response& response) {
    const std::optional<std::string> tokenHash = Identify(context, request, response);
    if (!tokenHash) {
        return;
    }
    const std::size_t count = request.get_param_value_count("serial");
    if (count > kMaxSerialsInQuery) {
        AnswerText(response, 400, "Cererea conține prea multe numere de serie.");
        return;
    }
    const OrderState state = context.orders.Snapshot();
    std::string renewable;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string serial = Lower(request.get_param_value("serial", i));
        if (!IsSerialHex(serial)) {
            AnswerText(response, 400,
                       "Numărul de serie „" + serial + "” din cerere nu este valid.");
            return;
        }
        if (IsRenewable(context, state, serial)) {
            // Upper case on purpose: the wizard must compare without regard to case.
            renewable += (renewable.empty() ? "" : " ") + Upper(serial);
        }
    }
    const auto order = state.orders.find(*tokenHash);
    const bool installPending = order != state.orders.end() && order->second.AwaitsInstallation();
    const bool installed = order != state.orders.end() && order->second.installed;

    const Scenario scenario = context.scenario.Get();
    AnswerText(response, 200,
               scenario.statusText.value_or(
                   DefaultStatusText(installPending, !renewable.empty(), installed)));
    response.set_header("pkcs10", renewable);
    response.set_header("Ask4DN", scenario.ask4dn);
    response.set_header("install", installPending ? "1" : "0");
}

// Encrypts `plaintext` for the order's new certificate (or the scenario's other key) and answers
// with the delivery.
void Deliver(SimContext& context, const httplib::Request& request, const std::string& tokenHash,
             X509* issued, Bytes& plaintext, httplib::Response& response) {
    WipeOnExit wipe(plaintext);
    const Scenario scenario = context.scenario.Get();
    DeliveryRecipient recipient;
    if (context.scenario.ForeignKeyFor(tokenHash, request.path, request.target)) {
        const DeliveryRecipient* foreign = context.foreign.Get();
        if (foreign == nullptr) {
            AnswerText(response, 500, "Eroare internă a serverului.");
            return;
        }
        recipient = *foreign;
    } else {
        recipient = RecipientFromCertificate(issued);
    }
    DeliveryOptions options;
    options.segments =
        scenario.segments != 0 ? scenario.segments : plaintext.size() / kSegmentSize + 1;
    options.originatorCertificates = {CertificateDer(context.pki.issuingCa.get())};
    const std::optional<Bytes> delivery = BuildDelivery(plaintext, recipient, options);
    if (!delivery) {
        AnswerText(response, 500, "Eroare internă a serverului.");
        return;
    }
    AnswerBytes(response, *delivery);
}

enum class Content { Certificate, Preview, DataToSign, OldCertificate };

void Delivery(SimContext& context, Content content, const httplib::Request& request,
              httplib::Response& response) {
    const std::optional<std::string> tokenHash = Identify(context, request, response);
    if (!tokenHash) {
        return;
    }
    const std::optional<Order> order = PendingOrder(context, *tokenHash, response);
    if (!order) {
        return;
    }
    X509Ptr issued = CertificateFromPem(order->issuedCertificate);
    if (!issued) {
        AnswerText(response, 500, "Eroare internă a serverului.");
        return;
    }
    Bytes plaintext;
    switch (content) {
        case Content::Certificate:
            plaintext = CertificateDer(issued.get());
            break;
        case Content::DataToSign: {
            const std::string text = DeclarationFor(issued.get()).TextToSign();
            plaintext.assign(text.begin(), text.end());
            break;
        }
        case Content::OldCertificate: {
            X509Ptr old = CertificateFromPem(order->renewedCertificate);
            if (!old) {
                AnswerText(response, 404, "Certificatul înlocuit nu este cunoscut.");
                return;
            }
            plaintext = CertificateDer(old.get());
            break;
        }
        case Content::Preview: {
            const std::string type = request.get_param_value("type");
            const Declaration declaration = DeclarationFor(issued.get());
            if (type == "pdf") {
                plaintext = RenderDeclarationPdf(declaration);
            } else if (type == "jpeg") {
                const std::string widthText = request.get_param_value("width");
                const bool digits =
                    !widthText.empty() && widthText.size() <= 5 &&
                    std::all_of(widthText.begin(), widthText.end(),
                                [](unsigned char c) { return std::isdigit(c) != 0; });
                const int width = digits ? std::stoi(widthText) : 0;
                if (width < kMinPreviewWidth || width > kMaxPreviewWidth) {
                    AnswerText(response, 400,
                               "Lățimea cerută pentru previzualizare lipsește sau nu este între " +
                                   std::to_string(kMinPreviewWidth) + " și " +
                                   std::to_string(kMaxPreviewWidth) + " de pixeli.");
                    return;
                }
                plaintext = RenderDeclarationJpeg(declaration, width);
            } else {
                AnswerText(response, 400, "Tipul de previzualizare cerut nu este cunoscut.");
                return;
            }
            if (plaintext.empty()) {
                AnswerText(response, 500, "Previzualizarea declarației nu a putut fi generată.");
                return;
            }
            break;
        }
    }
    Deliver(context, request, *tokenHash, issued.get(), plaintext, response);
}

bool VerifySignature(X509* issued, const std::string& signed_, const std::string& signature) {
    MdCtxPtr ctx(EVP_MD_CTX_new());
    return ctx &&
           EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr,
                                X509_get0_pubkey(issued)) == 1 &&
           EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                            signature.size(),
                            reinterpret_cast<const unsigned char*>(signed_.data()),
                            signed_.size()) == 1;
}

void ReceiveSignature(SimContext& context, const httplib::Request& request, const std::string& body,
                      httplib::Response& response) {
    const std::optional<std::string> tokenHash = Identify(context, request, response);
    if (!tokenHash) {
        return;
    }
    const std::optional<Order> order = PendingOrder(context, *tokenHash, response);
    if (!order) {
        return;
    }
    X509Ptr issued = CertificateFromPem(order->issuedCertificate);
    if (!issued ||
        !VerifySignature(issued.get(), DeclarationFor(issued.get()).TextToSign(), body)) {
        AnswerText(response, 400, "Semnătura declarației de acceptanță nu este validă.");
        return;
    }
    const bool saved = context.orders.Update([&](OrderState& state) {
        Order& current = state.orders[*tokenHash];
        if (current.issuedCertificate != order->issuedCertificate) {
            return false;  // a new request replaced the certificate meanwhile
        }
        current.signatureVerified = true;
        return true;
    });
    if (!saved) {
        AnswerText(response, 500, "Eroare internă a serverului.");
        return;
    }
    AnswerText(response, 200, "Declarația de acceptanță a fost semnată.");
}

void ConfirmInstalled(SimContext& context, const httplib::Request& request, const std::string& body,
                      httplib::Response& response) {
    const std::optional<std::string> tokenHash = Identify(context, request, response);
    if (!tokenHash) {
        return;
    }
    const std::optional<Order> order = PendingOrder(context, *tokenHash, response);
    if (!order) {
        return;
    }
    X509Ptr issued = CertificateFromPem(order->issuedCertificate);
    const Bytes der = issued ? CertificateDer(issued.get()) : Bytes{};
    if (der.empty() || body != std::string(der.begin(), der.end())) {
        AnswerText(response, 400,
                   "Certificatul confirmat nu este cel emis pentru acest dispozitiv.");
        return;
    }
    if (!order->signatureVerified) {
        AnswerText(response, 409, "Declarația de acceptanță nu a fost încă semnată.");
        return;
    }
    X509Ptr renewed = CertificateFromPem(order->renewedCertificate);
    const bool saved = context.orders.Update([&](OrderState& state) {
        Order& current = state.orders[*tokenHash];
        if (current.issuedCertificate != order->issuedCertificate) {
            return false;
        }
        current.installed = true;
        if (renewed) {
            state.renewedSerials.insert(SerialHex(renewed.get()));
        }
        return true;
    });
    if (!saved) {
        AnswerText(response, 500, "Eroare internă a serverului.");
        return;
    }
    AnswerText(response, 200, "Instalarea certificatului a fost confirmată.");
}

}  // namespace

void AddApiRoutes(httplib::Server& server, SimContext& context) {
    Routes routes(server, context, "api");
    SimContext* ctx = &context;
    routes.Get("/public/rest/certificate/status",
               [ctx](const httplib::Request& request, const std::string&,
                     httplib::Response& response) { Status(*ctx, request, response); });
    const auto delivery = [ctx](Content content) {
        return [ctx, content](const httplib::Request& request, const std::string&,
                              httplib::Response& response) {
            Delivery(*ctx, content, request, response);
        };
    };
    routes.Get("/public/rest/certificate", delivery(Content::Certificate));
    routes.Get("/public/rest/sign/preview", delivery(Content::Preview));
    routes.Get("/public/rest/sign/pv", delivery(Content::DataToSign));
    routes.Get("/public/rest/certificate/old", delivery(Content::OldCertificate));
    routes.Post(
        "/public/rest/sign/pv",
        [ctx](const httplib::Request& request, const std::string& body,
              httplib::Response& response) { ReceiveSignature(*ctx, request, body, response); });
    routes.Post(
        "/public/rest/certificate/installed",
        [ctx](const httplib::Request& request, const std::string& body,
              httplib::Response& response) { ConfirmInstalled(*ctx, request, body, response); });
}

}  // namespace qe::sim
