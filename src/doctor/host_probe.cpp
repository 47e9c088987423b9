#include "doctor/host_probe.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "net/https_client.h"
#include "toolkit/utf8.h"

namespace qe {
namespace {

constexpr std::size_t kMaxAddresses = 8;

struct Resolution {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int status = 0;
    std::vector<std::string> addresses;
};

void Resolve(const std::string& host, Resolution& result) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int status = getaddrinfo(host.c_str(), nullptr, &hints, &list);
    std::vector<std::string> addresses;
    for (const addrinfo* ai = list; ai != nullptr && addresses.size() < kMaxAddresses;
         ai = ai->ai_next) {
        char text[INET6_ADDRSTRLEN] = {};
        const void* address = nullptr;
        if (ai->ai_family == AF_INET) {
            address = &reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr;
        } else if (ai->ai_family == AF_INET6) {
            address = &reinterpret_cast<const sockaddr_in6*>(ai->ai_addr)->sin6_addr;
        }
        if (address != nullptr && inet_ntop(ai->ai_family, address, text, sizeof text) != nullptr &&
            std::find(addresses.begin(), addresses.end(), text) == addresses.end()) {
            addresses.emplace_back(text);
        }
    }
    if (list != nullptr) {
        freeaddrinfo(list);
    }
    std::lock_guard lock(result.mutex);
    result.status = status;
    result.addresses = std::move(addresses);
    result.finished = true;
    result.done.notify_all();
}

void ProbeTls(HostProbe& probe) {
    const auto host = Utf8ToWide(probe.endpoint.host);
    NoNetworkStep outside;
    CHttpsClient client(outside);
    probe.tlsTried = true;
    probe.tlsResult = host ? client.Connect(*host, probe.endpoint.port) : ERR_CONNECTION;
    if (probe.tlsResult == ERR_SUCCESS) {
        probe.proxy = DescribeProxies(client.Proxies());
        probe.tlsResult = client.SendRequest(L"/", nullptr, nullptr);
    }
    probe.failure = GetLastSystemError();
    probe.tlsVersion = client.LastTlsVersion();
    probe.proxyStatus = client.LastProxyStatus();
    probe.proxySchemes = client.LastProxySchemes();
    if (probe.rekey && probe.tlsResult == ERR_BAD_CERT_OR_PASSWORD) {
        if (std::vector<Bytes> names; client.GetAcceptedIssuers(names) == ERR_SUCCESS) {
            probe.caNames = std::move(names);
        }
    }
}

void Probe(HostProbe& probe) {
    if (const char* value = std::getenv(probe.variable.c_str()); value != nullptr && *value != 0) {
        probe.overrideValue = value;
        Endpoint parsed;
        probe.overrideUsed = ParseEndpoint(value, parsed);
    }
    probe.dnsStatus = ResolveHost(probe.endpoint.host, kDnsTimeout, probe.addresses);
    if (probe.dnsStatus == 0) {
        ProbeTls(probe);
    }
}

}  // namespace

int ResolveHost(const std::string& host, std::chrono::milliseconds timeout,
                std::vector<std::string>& addresses) {
    // The lookup runs on a thread of its own, which may outlive a wait that gave up on it; the
    // shared result keeps what it writes alive.
    auto result = std::make_shared<Resolution>();
    std::thread([host, result] { Resolve(host, *result); }).detach();
    std::unique_lock lock(result->mutex);
    if (!result->done.wait_for(lock, timeout, [&] { return result->finished; })) {
        return kDnsTimedOut;
    }
    addresses = result->addresses;
    return result->status;
}

std::vector<HostProbe> ProbeHosts() {
    std::vector<HostProbe> probes(3);
    probes[0].role = "API host";
    probes[0].variable = "QUORVANE_API_HOST";
    probes[0].endpoint = ApiHost();
    probes[1].role = "rekey host";
    probes[1].variable = "QUORVANE_REKEY_HOST";
    probes[1].rekey = true;
    probes[1].endpoint = RekeyHost();
    probes[2].role = "data API host";
    probes[2].variable = "QUORVANE_DATA_API_HOST";
    probes[2].endpoint = DataApiHost();
    // Each probe is bounded by the resolver wait and the client's own time limits; together
    // they take as long as the slowest one.
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < probes.size(); ++i) {
        threads.emplace_back([&probes, i] { Probe(probes[i]); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    return probes;
}

}  // namespace qe
