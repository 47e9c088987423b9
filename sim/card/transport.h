#pragma once

#include <optional>
#include <string>

#include "sim/card/apdu.h"

namespace qe::sim::card {

// The card's side of the virtual reader driver's socket: every message is a two-byte big-endian
// length and its bytes; one byte is a reader event (power off, power on, reset, ATR wanted),
// more is a command APDU.
class VpcdLink {
public:
    VpcdLink() = default;
    VpcdLink(const VpcdLink&) = delete;
    VpcdLink& operator=(const VpcdLink&) = delete;
    ~VpcdLink();

    // Connects, trying again for up to `wait_ms` while the reader is not listening yet.
    bool Connect(const std::string& host, int port, int wait_ms, std::string& error);
    // Nothing when the reader closed the connection or a signal interrupted the wait.
    std::optional<Bytes> Receive();
    bool Send(const Bytes& payload);
    void Close();

private:
    bool ReadExactly(std::uint8_t* p, std::size_t n);
    int fd_ = -1;
};

}  // namespace qe::sim::card
