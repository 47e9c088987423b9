#include "token/pcsc_readers.h"

#include <cstdio>

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
// refused then. Left as the card found it.
CardPresence ConfirmShared(const PcscContext& context, const std::string& reader) {
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    const LONG rv = SCardConnect(context.get(), reader.c_str(), SCARD_SHARE_SHARED,
                                 SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol);
    if (rv == SCARD_S_SUCCESS) {
        SCardDisconnect(card, SCARD_LEAVE_CARD);
    }
    return rv == SCARD_E_SHARING_VIOLATION ? CardPresence::InUse : CardPresence::Present;
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

}  // namespace

PcscView ReadPcscView() {
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
    const LONG rv =
        SCardGetStatusChange(context.get(), 0, states.data(), static_cast<DWORD>(states.size()));
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
    const PcscView view = ReadPcscView();
    LogView(view);
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

bool CardHeldElsewhere() {
    const PcscView view = ReadPcscView();
    for (const PcscReader& reader : view.readers) {
        if (reader.card == CardPresence::InUse) {
            LogView(view);
            return true;
        }
    }
    return false;
}

}  // namespace qe
