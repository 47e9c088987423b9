#include "sim/sim_process.h"

#include <chrono>
#include <csignal>
#include <regex>
#include <stdexcept>

#include <openssl/cms.h>
#include <openssl/pem.h>
#include <sys/prctl.h>

#include <QJsonDocument>
#include <QProcess>

#include "sim/cert_issuer.h"
#include "sim/cert_util.h"
#include "sim/issued_registry.h"
#include "sim/subject_text.h"
#include "sim/test_client.h"
#include "support/scoped_dir.h"
#include "support/test_pki.h"

namespace qe::test {
namespace {

// A program (searched on PATH) with standard input from /dev/null; it ends with the thread that
// started it, so a crashed test leaves nothing running.
std::unique_ptr<QProcess> Start(const std::vector<std::string>& args) {
    auto process = std::make_unique<QProcess>();
    process->setStandardInputFile(QProcess::nullDevice());
    process->setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
    process->setProgram(QString::fromStdString(args.at(0)));
    QStringList arguments;
    for (auto arg = args.begin() + 1; arg != args.end(); ++arg) {
        arguments << QString::fromStdString(*arg);
    }
    process->setArguments(arguments);
    return process;
}

int ExitStatus(const QProcess& process) {
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -SIGTERM;
}

}  // namespace

CommandResult RunCommand(const std::vector<std::string>& args) {
    const std::unique_ptr<QProcess> process = Start(args);
    process->start();
    process->waitForFinished(-1);
    return {process->error() == QProcess::FailedToStart ? 127 : ExitStatus(*process),
            process->readAllStandardOutput().toStdString(),
            process->readAllStandardError().toStdString()};
}

SimProcess::SimProcess(const std::string& stateDir, const std::vector<std::string>& extraArgs)
    : logPath_(stateDir + ".stderr"), outPath_(stateDir + ".stdout") {
    std::vector<std::string> args = {QE_SIM_BINARY, "serve", "--state", stateDir};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    process_ = Start(args);
    process_->setStandardOutputFile(QString::fromStdString(outPath_), QIODevice::Truncate);
    process_->setStandardErrorFile(QString::fromStdString(logPath_), QIODevice::Append);
    process_->start();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::string ready;
    while ((ready = Output()).find('\n') == std::string::npos &&
           process_->state() != QProcess::NotRunning && !process_->waitForFinished(10) &&
           std::chrono::steady_clock::now() < deadline) {
    }
    static const std::regex kReady(R"(ready api=(\S+) rekey=(\S+) control=(\S+) ca=(\S+)\n)");
    std::smatch match;
    if (!std::regex_match(ready, match, kReady)) {
        Stop();
        throw std::runtime_error("the simulator did not start; its log:\n" + Log());
    }
    api_ = match[1];
    rekey_ = match[2];
    control_ = match[3];
    caPath_ = match[4];
}

SimProcess::~SimProcess() {
    Stop();
}

int SimProcess::Stop() {
    if (process_ && process_->state() != QProcess::NotRunning) {
        process_->terminate();
        process_->waitForFinished(-1);
        exitStatus_ = ExitStatus(*process_);
    }
    return exitStatus_;
}

std::string SimProcess::Get(const std::string& target) const {
    return HttpFetch(control_, target).body;
}

int SimProcess::Post(const std::string& target, const std::string& json) const {
    return HttpFetch(control_, target, {}, json).status;
}

Bytes SimProcess::IssuedCertificate() const {
    const QJsonValue pem = QJsonDocument::fromJson(
        QByteArray::fromStdString(ControlState()))["orders"][0]["issuedCertificate"];
    const X509Ptr issued = sim::CertificateFromPem(pem.toString().toStdString());
    return issued ? sim::CertificateDer(issued.get()) : Bytes();
}

CommandResult ProvisionToken(const std::string& stateDir, const std::string& module,
                             const std::string& slotLabel, const std::string& pin,
                             const std::string& subject, const std::string& email,
                             const std::string& upn, bool alwaysAuthenticate, bool otherPrograms) {
    std::vector<std::string> args = {
        QE_SIM_BINARY,  "provision-token", "--state", stateDir, "--module",  module,
        "--slot-label", slotLabel,         "--pin",   pin,      "--subject", subject};
    for (const auto& [name, value] : {std::pair{"--email", email}, {"--upn", upn}}) {
        if (!value.empty()) {
            args.insert(args.end(), {name, value});
        }
    }
    for (const auto& [flag, given] : {std::pair{"--always-authenticate", alwaysAuthenticate},
                                      {"--other-programs", otherPrograms}}) {
        if (given) {
            args.push_back(flag);
        }
    }
    return RunCommand(args);
}

SoftwareCustomer MakeSoftwareCustomer(const std::string& stateDir, const std::string& subject,
                                      const std::string& fileStem) {
    std::string error;
    const std::optional<sim::Pki> pki = sim::LoadOrCreatePki(stateDir, "127.0.0.1", error);
    const X509NamePtr name = sim::ParseSubjectText(subject, error);
    SoftwareCustomer customer{GenerateRsaKey(), nullptr, fileStem + ".key", fileStem + ".pem"};
    if (pki && name) {
        customer.certificate =
            sim::IssueCustomerCertificate(*pki, name.get(), customer.key.get(), nullptr);
    }
    if (!customer.certificate || !sim::RecordIssued(stateDir, customer.certificate.get())) {
        throw std::runtime_error("cannot issue a customer's certificate: " + error);
    }
    WriteFile(customer.keyPath, sim::PrivateKeyPem(customer.key.get()));
    WriteFile(customer.certPath, sim::CertificatePem(customer.certificate.get()));
    return customer;
}

std::string MakeRequestPem(EVP_PKEY* key, const std::string& subject, const EVP_MD* digest) {
    std::string error;
    const X509NamePtr name =
        subject.empty() ? X509NamePtr(X509_NAME_new()) : sim::ParseSubjectText(subject, error);
    X509ReqPtr request(X509_REQ_new());
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!name || X509_REQ_set_subject_name(request.get(), name.get()) != 1 ||
        X509_REQ_set_pubkey(request.get(), key) != 1 ||
        X509_REQ_sign(request.get(), key, digest) <= 0 ||
        PEM_write_bio_X509_REQ(bio.get(), request.get()) != 1) {
        throw std::runtime_error("cannot build a request");
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    // CR LF line ends, as the wizard uploads it.
    return std::regex_replace(std::string(data, static_cast<std::size_t>(size)), std::regex("\n"),
                              "\r\n");
}

std::optional<Bytes> OpenDelivery(const Bytes& delivery, EVP_PKEY* key, X509* certificate) {
    BioPtr in(BIO_new_mem_buf(delivery.data(), static_cast<int>(delivery.size())));
    OpenSslPtr<CMS_ContentInfo, CMS_ContentInfo_free> cms(d2i_CMS_bio(in.get(), nullptr));
    BioPtr out(BIO_new(BIO_s_mem()));
    if (!cms || CMS_decrypt(cms.get(), key, certificate, nullptr, out.get(), CMS_BINARY) != 1) {
        return std::nullopt;
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(out.get(), &data);
    return Bytes(data, data + size);
}

}  // namespace qe::test
