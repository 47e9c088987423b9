#include "token/pcsc_readers.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <winscard.h>

#include "log/enroll_log.h"

namespace qe {
namespace {

// One context with the card service; released on every path.
class PcscContext {
public:
    PcscContext() { rv_ = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context_); }
    ~PcscContext() {
        if (rv_ == SCARD_S_SUCCESS) {
            SCardReleaseContext(context_);
        }
    }
    PcscContext(const PcscContext&) = delete;
    PcscContext& operator=(const PcscContext&) = delete;

    LONG rv() const { return rv_; }
    SCARDCONTEXT get() const { return context_; }

private:
    SCARDCONTEXT context_ = 0;
    LONG rv_ = SCARD_E_NO_SERVICE;
};

// The readers' names from the multi-string SCardListReaders fills.
LONG ListReaderNames(const PcscContext& context, std::vector<std::string>& names) {
    DWORD size = 0;
    LONG rv = SCardListReaders(context.get(), nullptr, nullptr, &size);
    if (rv != SCARD_S_SUCCESS || size == 0) {
        return rv;
    }
    std::string buffer(size, '\0');
    rv = SCardListReaders(context.get(), nullptr, buffer.data(), &size);
    if (rv != SCARD_S_SUCCESS) {
        return rv;
    }
    buffer.resize(size);
    for (std::size_t start = 0; start < buffer.size() && buffer[start] != '\0';) {
        const std::size_t end = buffer.find('\0', start);
        names.push_back(buffer.substr(start, end - start));
        start = end == std::string::npos ? buffer.size() : end + 1;
    }
    return SCARD_S_SUCCESS;
}

CardPresence PresenceOf(DWORD state) {
    if ((state & SCARD_STATE_PRESENT) == 0) {
        return (state & (SCARD_STATE_EMPTY | SCARD_STATE_UNAVAILABLE)) != 0 ? CardPresence::Absent
                                                                            : CardPresence::Unknown;
    }
    return (state & SCARD_STATE_EXCLUSIVE) != 0 ? CardPresence::InUse : CardPresence::Present;
}

// A present card the state does not call exclusive may still be held: a shared connection is
// refused then. The service notices a card pulled out only at its next poll (up to half a
// second): a connection to the card tells at once. Left as the card found it.
CardPresence ConfirmShared(const PcscContext& context, const std::string& reader) {
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    const LONG rv = SCardConnect(context.get(), reader.c_str(), SCARD_SHARE_SHARED,
                                 SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol);
    switch (rv) {
        case SCARD_S_SUCCESS:
            SCardDisconnect(card, SCARD_LEAVE_CARD);
            return CardPresence::Present;
        case SCARD_E_SHARING_VIOLATION:
            return CardPresence::InUse;
        case SCARD_E_NO_SMARTCARD:
        case SCARD_W_REMOVED_CARD:
        case SCARD_W_UNRESPONSIVE_CARD:
        case SCARD_W_UNPOWERED_CARD:
            return CardPresence::Absent;
        default:
            return CardPresence::Present;
    }
}

void LogView(const PcscView& view) {
    if (!view.answers) {
        Log().Write("Card service: " + PcscErrorText(view.error));
        return;
    }
    Log().Write("Card service: " + std::to_string(view.readers.size()) + " reader(s)");
    for (const PcscReader& reader : view.readers) {
        Log().Write("Reader \"" + reader.name + "\": " + CardPresenceText(reader.card) +
                    (reader.atr.empty() ? "" : ", ATR " + ToHexLower(reader.atr)));
    }
}

// pcscd makes its socket's folder at its first start (or systemd does, for it) and leaves it when
// it ends; the client library honours PCSCLITE_CSOCK_NAME, so this does too.
bool ServiceHasRun() {
    const char* socket = std::getenv("PCSCLITE_CSOCK_NAME");
    const std::filesystem::path path = socket != nullptr ? socket : "/run/pcscd/pcscd.comm";
    std::error_code error;
    return std::filesystem::is_directory(path.parent_path(), error);
}

}  // namespace

PcscView ReadPcscView(std::chrono::milliseconds settle) {
    PcscView view;
    const PcscContext context;
    view.error = context.rv();
    if (context.rv() != SCARD_S_SUCCESS) {
        return view;
    }
    std::vector<std::string> names;
    const LONG listed = ListReaderNames(context, names);
    // No reader at all is an answer too.
    if (listed != SCARD_S_SUCCESS && listed != SCARD_E_NO_READERS_AVAILABLE) {
        view.error = listed;
        return view;
    }
    view.answers = true;
    if (names.empty()) {
        return view;
    }
    std::vector<SCARD_READERSTATE> states(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        states[i].szReader = names[i].c_str();
        states[i].dwCurrentState = SCARD_STATE_UNAWARE;
    }
    LONG rv =
        SCardGetStatusChange(context.get(), 0, states.data(), static_cast<DWORD>(states.size()));
    // The service notices a card pulled out at its next look at the reader, up to half a second
    // later; until then a present card may be gone already. Waiting that long for a change tells.
    const bool present = std::any_of(states.begin(), states.end(), [](const auto& state) {
        return (state.dwEventState & SCARD_STATE_PRESENT) != 0;
    });
    if (rv == SCARD_S_SUCCESS && present && settle.count() > 0) {
        for (SCARD_READERSTATE& state : states) {
            state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
        }
        const LONG changed = SCardGetStatusChange(context.get(), static_cast<DWORD>(settle.count()),
                                                  states.data(), static_cast<DWORD>(states.size()));
        rv = changed == SCARD_E_TIMEOUT ? SCARD_S_SUCCESS : changed;
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        PcscReader reader{names[i], CardPresence::Unknown, {}};
        if (rv == SCARD_S_SUCCESS || rv == SCARD_E_TIMEOUT) {
            reader.card = PresenceOf(states[i].dwEventState);
            if (reader.card == CardPresence::Present) {
                reader.card = ConfirmShared(context, names[i]);
            }
            const DWORD atrSize = std::min<DWORD>(states[i].cbAtr, sizeof states[i].rgbAtr);
            reader.atr.assign(states[i].rgbAtr, states[i].rgbAtr + atrSize);
        }
        view.readers.push_back(std::move(reader));
    }
    return view;
}

std::string CardPresenceText(CardPresence card) {
    switch (card) {
        case CardPresence::Absent:
            return "no card";
        case CardPresence::Present:
            return "card present";
        case CardPresence::InUse:
            return "card in use by another program";
        case CardPresence::Unknown:
            break;
    }
    return "unknown";
}

std::string PcscErrorText(long error) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08lx", static_cast<unsigned long>(error) & 0xffffffffUL);
    return std::string(pcsc_stringify_error(static_cast<LONG>(error))) + " (" + hex + ")";
}

bool SlotNamesReader(const std::string& slotDescription, const std::string& readerName) {
    return !slotDescription.empty() && readerName.starts_with(slotDescription);
}

MissingToken ExplainMissingToken() {
    const PcscView view = ReadPcscView(std::chrono::milliseconds(600));
    LogView(view);
    if (!view.answers) {
        return ServiceHasRun() ? MissingToken::ServiceStopped : MissingToken::NoService;
    }
    MissingToken why = MissingToken::NoCard;
    for (const PcscReader& reader : view.readers) {
        if (reader.card == CardPresence::InUse) {
            return MissingToken::InUse;
        }
        if (reader.card == CardPresence::Present) {
            why = MissingToken::NoSoftware;
        }
    }
    return why;
}

}  // namespace qe
