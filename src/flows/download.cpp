#include "flows/download.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>

#include <unistd.h>

#include "flows/flow_support.h"
#include "log/enroll_log.h"
#include "log/last_error.h"
#include "log/temp_dir.h"
#include "net/encrypted_delivery.h"
#include "net/envelope.h"
#include "net/header_block.h"
#include "net/hosts.h"
#include "net/https_client.h"
#include "token/pin_gate.h"
#include "token/pkcs11_session.h"
#include "token/pki.h"
#include "token/token_hash.h"
#include "toolkit/secret.h"

namespace qe {
namespace {

// Enough names for any temporary directory a person keeps; past them the preview is skipped.
constexpr int kMaxPreviewNames = 10000;

std::wstring Widen(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

}  // namespace

DownloadedDeclaration::~DownloadedDeclaration() {
    RemoveFiles();
    Wipe(certificate);
}

void DownloadedDeclaration::RemoveFiles() {
    for (std::string* path : {&pdfPath, &jpegPath}) {
        if (!path->empty()) {
            unlink(path->c_str());
            ForgetExitRemoval(*path);
            path->clear();
        }
    }
}

namespace {

bool IsPreviewName(std::string_view name) {
    constexpr std::string_view kPrefix = "quorvaneEnrollPV";
    if (!name.starts_with(kPrefix) || !(name.ends_with(".pdf") || name.ends_with(".jpg"))) {
        return false;
    }
    const std::string_view number = name.substr(kPrefix.size(), name.size() - kPrefix.size() - 4);
    return !number.empty() && number.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

void RemoveLeftPreviews() {
    const auto dir = PrivateTempDir();
    if (!dir) {
        return;
    }
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(*dir, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        if (IsPreviewName(it->path().filename().native()) &&
            it->symlink_status(ec).type() == std::filesystem::file_type::regular) {
            unlink(it->path().c_str());
        }
    }
}

std::string WritePreviewFile(const Bytes& data, const std::string& extension) {
    const auto dir = PrivateTempDir();
    if (!dir) {
        return {};
    }
    for (int n = 0; n < kMaxPreviewNames; ++n) {
        const std::string path = *dir + "quorvaneEnrollPV" + std::to_string(n) + extension;
        const int fd = CreateNewPrivateFile(path);
        if (fd < 0) {
            if (errno == EEXIST) {
                continue;
            }
            SetLastSystemError(static_cast<std::uint32_t>(errno), std::strerror(errno));
            return {};
        }
        RegisterExitRemoval(path);
        std::size_t written = 0;
        while (written < data.size()) {
            const ssize_t n2 = write(fd, data.data() + written, data.size() - written);
            if (n2 < 0 && errno == EINTR) {
                continue;
            }
            if (n2 <= 0) {
                break;
            }
            written += static_cast<std::size_t>(n2);
        }
        int failure = written < data.size() ? (errno != 0 ? errno : ENOSPC) : 0;
        if (close(fd) != 0 && failure == 0) {
            failure = errno;
        }
        // A part of the declaration (a full disk) would show the customer something else.
        if (failure != 0) {
            SetLastSystemError(static_cast<std::uint32_t>(failure), std::strerror(failure));
            unlink(path.c_str());
            ForgetExitRemoval(path);
            return {};
        }
        return path;
    }
    return {};
}

ErrorId DownloadForAcceptance(StepContext& step, WindowPort& port,
                              DownloadedDeclaration& declaration, unsigned previewWidth) {
    LogTag tag("Steps 2");
    CHttpsClient client(step.network);
    std::wstring headers = HeaderBlockStart();
    step.deliveryKeyId.clear();  // each download pins the key of its own deliveries
    port.ResetStepIndex();
    port.PostProgress(0);
    port.PostNextStep();

    zel_token token;
    if (const CK_RV rv = CPKI(step.token).SelectToken(token); rv != CKR_OK) {
        return SelectionErrorId(rv);
    }
    std::wstring hashLine;
    if (const int rc = GetTokenHash(token, hashLine, step.tokenHash); rc != 0) {
        Log().Write("Error Getting Token hash");
        FailStep(port);
        return rc;
    }
    headers += hashLine;
    client.headerBlock = headers;
    const Endpoint api = ApiHost();
    if (const ErrorId rc = client.Connect(Widen(api.host), api.port); rc != ERR_SUCCESS) {
        FailStep(port);
        return rc;
    }
    port.PostProgress(5);
    port.PostNextStep();

    if (!PinReady(step.token, port, token)) {
        FailStep(port);
        return ERR_CANCELLED;
    }
    if (const ErrorId rc = RequestAndDecrypt(step.token, client, ObtainPin(step.token, port, token),
                                             declaration.certificate, token, false,
                                             L"/public/rest/certificate", step.deliveryKeyId);
        rc != ERR_SUCCESS) {
        FailStep(port);
        return rc;
    }
    port.PostProgress(40);
    port.PostNextStep();

    Bytes preview;
    WipeOnExit wipePreview(preview);
    if (const ErrorId rc = RequestAndDecrypt(
            step.token, client, ObtainPin(step.token, port, token), preview, token, false,
            L"/public/rest/sign/preview?type=pdf", step.deliveryKeyId);
        rc != ERR_SUCCESS) {
        FailStep(port);
        return rc;
    }
    declaration.pdfPath = WritePreviewFile(preview, ".pdf");
    if (!declaration.pdfPath.empty()) {
        const std::wstring jpegPath =
            L"/public/rest/sign/preview?type=jpeg&width=" + std::to_wstring(previewWidth);
        if (const ErrorId rc =
                RequestAndDecrypt(step.token, client, ObtainPin(step.token, port, token), preview,
                                  token, false, jpegPath, step.deliveryKeyId);
            rc != ERR_SUCCESS) {
            FailStep(port);
            return rc;
        }
        declaration.jpegPath = WritePreviewFile(preview, ".jpg");
    }
    if (declaration.pdfPath.empty() || declaration.jpegPath.empty()) {
        Log().Write("Declaration not written: it cannot be shown");
        FailStep(port);
        return ERR_DECLARATION_UNSHOWN;
    }
    port.PostProgress(60);
    return ERR_SUCCESS;
}

}  // namespace qe
