#include <cstdio>
#include <cstring>

#include "sim/commands.h"

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "serve") == 0) {
        return qe::sim::RunServe(argc - 2, argv + 2);
    }
    if (argc >= 2 && std::strcmp(argv[1], "provision-token") == 0) {
        return qe::sim::RunProvisionToken(argc - 2, argv + 2);
    }
    std::fputs(
        "usage: quorvane-authority-sim serve --state DIR [options]\n"
        "       quorvane-authority-sim provision-token --state DIR --module PATH "
        "--slot-label LABEL --pin PIN --subject \"C=RO,O=…,CN=…\" [--email ADDR] [--upn UPN]\n",
        stderr);
    return 2;
}
