// The repair client's stages over real TCP against the reference server.
#include "repair/RepairClient.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "RepairServer.h"
#include "TestFiles.h"
#include "platform/Files.h"
#include "platform/System.h"

namespace fs = std::filesystem;
using BexoPatch::testing::ReadFile;
using BexoPatch::testing::WriteFile;

namespace {

class RepairClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("osmel-repairclient-" + std::to_string(Platform::GetCurrentProcessId()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        WriteFile(m_dir / "ref/bin/tool.dll", std::string(5 << 20, 't'));
        WriteFile(m_dir / "ref/data/a.txt", "reference");
        WriteFile(m_dir / "ref/gone-too-long.bin", std::string(100, 'g'));
        fs::copy(m_dir / "ref", m_dir / "client", fs::copy_options::recursive);
        WriteFile(m_dir / "client/data/a.txt", "damaged!!");
        fs::remove(m_dir / "client/bin/tool.dll");
        WriteFile(m_dir / "client/gone-too-long.bin", std::string(5 << 20, 'g'));
        WriteFile(m_dir / "client/unins000.exe", "per machine");
    }
    void TearDown() override { fs::remove_all(m_dir); }
    std::wstring W(const char* rel) { return Platform::FromSystemPath((m_dir / rel).string()); }

    // Runs one client session against a server with the options; returns the client's
    // final stage and error.
    std::pair<std::int32_t, BEXORESULT> Repair(RepairServerOptions options, bool listen = true) {
        options.root = W("ref");
        RepairServer server(options);
        auto listener = Platform::TcpListener::Listen("127.0.0.1", 0);
        const std::uint16_t port = listener->Port();
        std::thread serving;
        if (listen) {
            serving = std::thread([&] {
                if (auto stream = listener->Accept()) {
                    server.Serve(*stream);
                }
            });
        } else {
            listener.reset();
        }
        // The client closes its connection when destroyed, which ends the server's session.
        auto owned = std::make_unique<RepairClient>();
        RepairClient& client = *owned;
        EXPECT_EQ(client.SetRoot(W("client")), BEXORESULT_OK);
        EXPECT_EQ(client.SetChecksumFile(W("client") + L"\\repair.cks"), BEXORESULT_OK);
        EXPECT_EQ(client.SetServer(SocketEndpoint{0x7F000001u, port}), BEXORESULT_OK);
        EXPECT_EQ(client.SetExclusions({W("client") + L"\\unins000.exe"}), BEXORESULT_OK);
        client.Start();
        while (client.IsBusy()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        received = client.GetReceived();
        announced = client.GetAnnounced();
        progress = client.GetProgress();
        const auto result = std::make_pair(client.GetStage(), client.GetError());
        owned.reset();
        if (serving.joinable()) {
            serving.join();
        }
        return result;
    }

    fs::path m_dir;
    std::uint32_t received = 0;
    std::uint32_t announced = 0;
    float progress = 0;
};

TEST_F(RepairClientTest, MakesADamagedInstallationIdenticalToTheReference) {
    const auto [stage, error] = Repair({});
    EXPECT_EQ(stage, RepairClient::kFinished);
    EXPECT_EQ(error, BEXORESULT_OK);
    EXPECT_EQ(progress, 1.0f);
    for (const char* name : {"bin/tool.dll", "data/a.txt", "gone-too-long.bin"}) {
        EXPECT_EQ(ReadFile(m_dir / "client" / name), ReadFile(m_dir / "ref" / name)) << name;
    }
    EXPECT_EQ(ReadFile(m_dir / "client/unins000.exe"), "per machine");
    EXPECT_TRUE(fs::exists(m_dir / "client/repair.cks"));

    // A second session finds nothing to do.
    const auto again = Repair({});
    EXPECT_EQ(again.first, RepairClient::kFinished);
    EXPECT_EQ(announced, 0u);
}

TEST_F(RepairClientTest, FailuresEndInTheirStageWithTheirCode) {
    RepairServerOptions handshake;
    handshake.handshakeAnswer = 7;
    EXPECT_EQ(Repair(handshake), std::make_pair(std::int32_t{3}, BEXORESULT{BEXORESULT_BAD_DATA}));

    EXPECT_EQ(Repair({}, false).first, 3) << "no listener";

    RepairServerOptions cut;
    cut.cutAfter = 1;
    const auto [stage, error] = Repair(cut);
    EXPECT_EQ(stage, 5);
    EXPECT_EQ(error, BEXORESULT_NETWORK_ERROR);
    EXPECT_EQ(received, 1u);
    EXPECT_GT(announced, 1u);
}

// A file of 2 GiB of zeros takes seconds to checksum; a cancel ends the scan within the
// segment being read.
TEST_F(RepairClientTest, ACancelStopsTheScanWithinASecond) {
    { std::ofstream big(m_dir / "client/big.bin", std::ios::binary); }
    fs::resize_file(m_dir / "client/big.bin", std::uint64_t{2} << 30);
    RepairClient client;
    ASSERT_EQ(client.SetRoot(W("client")), BEXORESULT_OK);
    ASSERT_EQ(client.SetChecksumFile(W("client") + L"\\repair.cks"), BEXORESULT_OK);
    client.Start();
    while (client.GetStage() < RepairClient::kScanning) {
        std::this_thread::yield();
    }
    client.RequestCancel();
    EXPECT_TRUE(client.WaitUntilIdle(1000));
    EXPECT_EQ(client.GetStage(), RepairClient::kScanning);
    EXPECT_EQ(client.GetError(), BEXORESULT_ABORTED);
    EXPECT_FALSE(fs::exists(m_dir / "client/repair.cks")) << "an unfinished scan is not saved";
}

TEST(RepairClientSetterTest, TheRootCheck) {
    RepairClient client;
    EXPECT_EQ(client.SetRoot(L""), BEXORESULT_INVALID_ARGUMENT);
    EXPECT_EQ(client.SetRoot(L"C:\\"), BEXORESULT_INVALID_ARGUMENT);
    EXPECT_EQ(client.SetRoot(L"\"C:\\Kelvor\""), BEXORESULT_INVALID_ARGUMENT);
    EXPECT_EQ(client.SetRoot(L"C:\\Kelvor\x00E9"), BEXORESULT_INVALID_ARGUMENT);
    EXPECT_EQ(client.SetRoot(L"C:\\Kelvor"), BEXORESULT_OK);
    EXPECT_EQ(client.SetChecksumFile(L""), BEXORESULT_INVALID_ARGUMENT);
    EXPECT_EQ(client.GetProgress(), 0.0f);
}

}  // namespace
