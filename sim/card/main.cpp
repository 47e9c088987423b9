// quorvane-card-sim: a smart card in the virtual reader of pcscd (vsmartcard's vpcd). Its state
// lives in a file: ending the program pulls the card, starting it again with the same file puts
// the same card back.
#include <openssl/crypto.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include <sys/stat.h>

#include "sim/card/card.h"
#include "sim/card/piv_card.h"
#include "sim/card/state_file.h"
#include "sim/card/transport.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_dump = 0;

void OnSignal(int sig) {
    if (sig == SIGUSR1) {
        g_dump = 1;
    } else {
        g_stop = 1;
    }
}

struct Options {
    std::string state, host = "127.0.0.1", counts, card = "isoapplet";
    std::string provision_cert, provision_key, pin;
    int port = 35963;
    int wait_ms = 10000;
    int delay_ms = 0;
    int drop_ins = -1;
    long drop_nth = 0;
    bool trace = false;
};

const char kUsage[] =
    "usage: quorvane-card-sim --state FILE [--port N] [--host ADDR] [--wait-ms N]\n"
    "         [--delay-ms N] [--drop-at INS:N] [--counts FILE] [--trace] [--card isoapplet|piv]\n"
    "       quorvane-card-sim --card piv --state FILE --pin PIN --provision CERT.der KEY.pem\n"
    "  --provision      writes a PIV card with the certificate and its key in slot 9A, and ends\n"
    "  --drop-at B0:3   the card is pulled at the third READ BINARY (INS in hex), unanswered\n"
    "  --counts FILE    APDUs per INS, written on exit and on SIGUSR1\n";

bool Parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--trace") {
            o.trace = true;
            continue;
        }
        if (i + 1 >= argc) {
            return false;
        }
        const std::string value = argv[++i];
        if (arg == "--provision" && i + 1 < argc) {
            o.provision_cert = value;
            o.provision_key = argv[++i];
        } else if (arg == "--card") {
            o.card = value;
        } else if (arg == "--pin") {
            o.pin = value;
        } else if (arg == "--state") {
            o.state = value;
        } else if (arg == "--host") {
            o.host = value;
        } else if (arg == "--counts") {
            o.counts = value;
        } else if (arg == "--port") {
            o.port = std::atoi(value.c_str());
        } else if (arg == "--wait-ms") {
            o.wait_ms = std::atoi(value.c_str());
        } else if (arg == "--delay-ms") {
            o.delay_ms = std::atoi(value.c_str());
        } else if (arg == "--drop-at") {
            unsigned ins = 0;
            long nth = 0;
            if (std::sscanf(value.c_str(), "%x:%ld", &ins, &nth) != 2 || ins > 0xFF || nth < 1) {
                return false;
            }
            o.drop_ins = static_cast<int>(ins);
            o.drop_nth = nth;
        } else {
            return false;
        }
    }
    return !o.state.empty() && o.port > 0 && (o.card == "isoapplet" || o.card == "piv") &&
           (o.provision_cert.empty() || o.card == "piv");
}

void WriteCounts(const Options& o, const std::map<int, long>& counts) {
    if (o.counts.empty()) {
        return;
    }
    std::ostringstream out;
    long total = 0;
    for (const auto& [ins, n] : counts) {
        char ins_hex[3];
        std::snprintf(ins_hex, sizeof ins_hex, "%02X", ins);
        out << ins_hex << ' ' << n << '\n';
        total += n;
    }
    out << "total " << total << '\n';
    const std::string fresh = o.counts + ".new";
    std::ofstream(fresh) << out.str();
    std::rename(fresh.c_str(), o.counts.c_str());
}

// Serves `card` in the reader until the reader goes or a signal ends it; `save` keeps its memory.
template <class CardType, class SaveFn>
int Serve(const Options& o, CardType& card, SaveFn save) {
    using namespace qe::sim::card;
    std::string error;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;  // no SA_RESTART: a signal ends the wait for the reader
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGUSR1, &sa, nullptr);

    VpcdLink link;
    if (!link.Connect(o.host, o.port, o.wait_ms, error)) {
        std::fprintf(stderr, "quorvane-card-sim: %s\n", error.c_str());
        return 1;
    }
    std::map<int, long> counts;
    int status = 0;
    const auto started = std::chrono::steady_clock::now();
    while (g_stop == 0) {
        errno = 0;
        auto message = link.Receive();
        if (g_dump != 0) {
            g_dump = 0;
            WriteCounts(o, counts);
        }
        if (!message) {
            if (errno == EINTR && g_stop == 0) {
                continue;
            }
            break;  // the reader went away
        }
        if (message->size() == 1) {
            if ((*message)[0] == 0x04) {
                link.Send(CardType::Atr());
            } else {
                card.PowerOff();  // power off, on and reset all start the card afresh
            }
            continue;
        }
        if (message->size() < 4) {
            continue;
        }
        const int ins = (*message)[1];
        const long nth = ++counts[ins];
        if (ins == o.drop_ins && nth == o.drop_nth) {
            std::fprintf(stderr, "quorvane-card-sim: pulled at APDU %02X number %ld\n", ins, nth);
            status = 3;
            break;
        }
        if (o.delay_ms > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(o.delay_ms));
        }
        Response r = card.Process(*message);
        if (card.changed() && !save(card)) {
            std::fprintf(stderr, "quorvane-card-sim: cannot write %s\n", o.state.c_str());
            r = Status(kSwUnknown);  // a card whose memory write failed
        }
        if (o.trace) {
            // PINs are never shown: of VERIFY, CHANGE and RESET only the header.
            const bool pin = ins == 0x20 || ins == 0x24 || ins == 0x2C;
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - started)
                                .count();
            std::fprintf(stderr, "%lld > %s\n< %s %04X\n", static_cast<long long>(ms),
                         ToHex(message->data(), pin ? 5 : message->size()).c_str(),
                         ToHex(r.data.data(), std::min<std::size_t>(r.data.size(), 16)).c_str(),
                         r.sw);
        }
        OPENSSL_cleanse(message->data(), message->size());
        r.data.push_back(static_cast<std::uint8_t>(r.sw >> 8));
        r.data.push_back(static_cast<std::uint8_t>(r.sw));
        const bool sent = link.Send(r.data);
        OPENSSL_cleanse(r.data.data(), r.data.size());
        if (!sent) {
            break;
        }
    }
    WriteCounts(o, counts);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace qe::sim::card;
    Options o;
    if (!Parse(argc, argv, o)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    umask(077);  // the state file holds the card's keys
    std::string error;
    if (o.card == "piv") {
        PivCard card;
        if (!o.provision_cert.empty()) {
            if (!ProvisionPiv(card, o.pin, o.provision_cert, o.provision_key, error) ||
                !SavePiv(card, o.state)) {
                std::fprintf(stderr, "quorvane-card-sim: %s\n",
                             error.empty() ? ("cannot write " + o.state).c_str() : error.c_str());
                return 1;
            }
            return 0;
        }
        if (!LoadPiv(card, o.state, error)) {
            std::fprintf(stderr, "quorvane-card-sim: %s\n", error.c_str());
            return 1;
        }
        return Serve(o, card, [&o](const PivCard& c) { return SavePiv(c, o.state); });
    }
    Card card;
    if (!LoadCard(card, o.state, error)) {
        std::fprintf(stderr, "quorvane-card-sim: %s\n", error.c_str());
        return 1;
    }
    return Serve(o, card, [&o](const Card& c) { return SaveCard(c, o.state); });
}
