// The TCP data buffer against real loopback peers.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "net/BexoDataBufferTCP.h"
#include "platform/TcpStream.h"

namespace {

constexpr std::uint32_t kLoopback = 0x7F000001;

class TcpBufferTest : public ::testing::Test {
protected:
    void SetUp() override {
        listener = Platform::TcpListener::Listen("127.0.0.1", 0);
        ASSERT_TRUE(listener);
    }

    void Connect() {
        std::thread accept([this] { peer = listener->Accept(); });
        const BEXORESULT result = buffer.Connect({kLoopback, listener->Port()});
        accept.join();
        ASSERT_EQ(result, BEXORESULT_OK);
        ASSERT_TRUE(peer);
        EXPECT_TRUE(buffer.IsConnected());
    }

    std::unique_ptr<Platform::TcpListener> listener;
    std::unique_ptr<Platform::TcpStream> peer;
    BexoDataBufferTCP buffer;
};

TEST_F(TcpBufferTest, IsAStreamWithoutSizeWhosePositionCountsBytesRead) {
    EXPECT_EQ(buffer.GetSize(), 0u);
    EXPECT_EQ(buffer.Seek(0), BEXORESULT_NOT_SUPPORTED);
    EXPECT_EQ(buffer.SetSize(10), BEXORESULT_NOT_SUPPORTED);
    EXPECT_FALSE(buffer.IsConnected());
    Connect();
    ASSERT_TRUE(peer->WriteAll("0123456789", 10));
    char data[6];
    ASSERT_EQ(buffer.ReadData(data, 6), BEXORESULT_OK);
    ASSERT_EQ(buffer.ReadData(data, 4), BEXORESULT_OK);
    EXPECT_EQ(std::memcmp(data, "6789", 4), 0);
    EXPECT_EQ(buffer.GetPosition(), 10u);
    EXPECT_EQ(buffer.ReadData(data, 0), BEXORESULT_OK);
    EXPECT_EQ(buffer.WriteData("x", 0), BEXORESULT_OK);
    EXPECT_EQ(buffer.GetPosition(), 10u);
    EXPECT_EQ(buffer.GetSize(), 0u);
}

TEST_F(TcpBufferTest, ReadCutShortByThePeerClosingIsAbortedAndCountsNothing) {
    Connect();
    ASSERT_TRUE(peer->WriteAll("abcdef", 6));
    peer->ShutdownWrite();
    char data[4];
    ASSERT_EQ(buffer.ReadData(data, 4), BEXORESULT_OK);
    EXPECT_EQ(buffer.ReadData(data, 4), BEXORESULT_ABORTED);
    EXPECT_EQ(buffer.GetPosition(), 4u);
}

TEST_F(TcpBufferTest, ConnectTwiceIsInvalidStateAndKeepsTheConnection) {
    Connect();
    EXPECT_EQ(buffer.Connect({kLoopback, listener->Port()}), BEXORESULT_INVALID_STATE);
    EXPECT_TRUE(buffer.IsConnected());
    ASSERT_EQ(buffer.WriteData("ping", 4), BEXORESULT_OK);
    char data[4];
    ASSERT_TRUE(peer->ReadAll(data, 4));
    EXPECT_EQ(std::memcmp(data, "ping", 4), 0);
}

TEST_F(TcpBufferTest, ConnectionRefused) {
    const std::uint16_t port = listener->Port();
    listener.reset();
    EXPECT_EQ(buffer.Connect({kLoopback, port}), BEXORESULT_CONNECTION_REFUSED);
    EXPECT_FALSE(buffer.IsConnected());
    char data[1];
    EXPECT_NE(buffer.ReadData(data, 1), BEXORESULT_OK);
}

TEST_F(TcpBufferTest, ReadOnOneThreadWhileAnotherWrites) {
    Connect();
    // The peer echoes everything back while the buffer writes and reads at once.
    std::thread echo([this] {
        std::vector<char> chunk(64 << 10);
        for (;;) {
            const long n = peer->ReadSome(chunk.data(), chunk.size());
            if (n <= 0 || !peer->WriteAll(chunk.data(), static_cast<std::size_t>(n))) {
                return;
            }
        }
    });
    constexpr std::uint32_t kChunk = 64 << 10;
    constexpr int kChunks = 64;
    std::vector<std::uint8_t> sent(static_cast<std::size_t>(kChunk) * kChunks);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<std::uint8_t>(i ^ (i >> 9));
    }
    std::thread writer([&] {
        for (int i = 0; i < kChunks; ++i) {
            EXPECT_EQ(buffer.WriteData(&sent[static_cast<std::size_t>(i) * kChunk], kChunk),
                      BEXORESULT_OK);
        }
    });
    std::vector<std::uint8_t> received(sent.size());
    for (int i = 0; i < kChunks; ++i) {
        ASSERT_EQ(buffer.ReadData(&received[static_cast<std::size_t>(i) * kChunk], kChunk),
                  BEXORESULT_OK);
    }
    writer.join();
    EXPECT_EQ(received, sent);
    EXPECT_EQ(buffer.GetPosition(), sent.size());
    peer->ShutdownWrite();
    buffer.Disconnect(true);
    echo.join();
}

TEST_F(TcpBufferTest, AbortiveDisconnectReleasesABlockedRead) {
    Connect();
    BEXORESULT readResult = BEXORESULT_OK;
    std::thread reader([&] {
        char data[4];
        readResult = buffer.ReadData(data, 4);
    });
    // The peer's read returns once the read was issued and the reset arrived; whichever
    // comes first, the blocked reader must come back with a failure.
    buffer.Disconnect(true);
    reader.join();
    EXPECT_TRUE(readResult == BEXORESULT_ABORTED || readResult == BEXORESULT_INVALID_STATE)
        << readResult;
    EXPECT_FALSE(buffer.IsConnected());
    EXPECT_EQ(buffer.Connect({kLoopback, listener->Port()}), BEXORESULT_INVALID_STATE);
}

TEST_F(TcpBufferTest, AbortiveDisconnectResetsThePeer) {
    Connect();
    buffer.Disconnect(true);
    char data[1];
    EXPECT_LT(peer->ReadSome(data, 1), 0);
}

TEST_F(TcpBufferTest, GracefulDisconnectEndsTheStreamAndAllowsAnotherConnect) {
    Connect();
    ASSERT_EQ(buffer.WriteData("bye", 3), BEXORESULT_OK);
    buffer.Disconnect(false);
    EXPECT_FALSE(buffer.IsConnected());
    char data[4];
    ASSERT_TRUE(peer->ReadAll(data, 3));
    EXPECT_EQ(peer->ReadSome(data, 1), 0);
    Connect();
    ASSERT_EQ(buffer.WriteData("again", 5), BEXORESULT_OK);
    char again[5];
    ASSERT_TRUE(peer->ReadAll(again, 5));
    EXPECT_EQ(std::memcmp(again, "again", 5), 0);
}

}  // namespace
