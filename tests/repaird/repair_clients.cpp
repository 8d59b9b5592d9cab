// Repairs many installations at once against one server on 127.0.0.1, each with the
// product's repair client, and names those whose session failed.
// Usage: repair_clients PORT DIR...; exit status 0 when all succeeded, 1 otherwise.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "repair/RepairClient.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: repair_clients PORT DIR...\n");
        return 2;
    }
    const auto port = static_cast<std::uint16_t>(std::strtoul(argv[1], nullptr, 10));
    std::vector<std::unique_ptr<RepairClient>> clients;
    for (int i = 2; i < argc; ++i) {
        const std::wstring root = Platform::FromSystemPath(argv[i]);
        auto client = std::make_unique<RepairClient>();
        if (client->SetRoot(root) != BEXORESULT_OK ||
            client->SetChecksumFile(root + L"\\repair.cks") != BEXORESULT_OK ||
            client->SetServer(SocketEndpoint{0x7F000001u, port}) != BEXORESULT_OK) {
            std::fprintf(stderr, "repair_clients: cannot set up %s\n", argv[i]);
            return 2;
        }
        client->Start();
        clients.push_back(std::move(client));
    }
    // Each client is ended as soon as it is done, which closes its connection: the
    // server waits for that before it takes the session as ended.
    int failed = 0;
    for (std::size_t left = clients.size(); left > 0;) {
        for (std::size_t i = 0; i < clients.size(); ++i) {
            if (!clients[i] || !clients[i]->WaitUntilIdle(1)) {
                continue;
            }
            if (!clients[i]->Succeeded()) {
                std::printf("failed %s\n", argv[i + 2]);
                ++failed;
            }
            clients[i].reset();
            --left;
        }
    }
    return failed == 0 ? 0 : 1;
}
