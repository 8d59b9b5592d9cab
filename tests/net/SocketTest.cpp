// The completion-port socket layer against real loopback peers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "kernel/Sync.h"
#include "net/CompletionPort.h"
#include "net/SocketError.h"
#include "net/TCPSocket.h"
#include "platform/TcpStream.h"

namespace {

constexpr std::uint32_t kLoopback = 0x7F000001;

TEST(SocketErrorTest, MapsOsErrorsToResultCodes) {
    const struct {
        std::uint32_t osError;
        BEXORESULT expected;
    } cases[] = {
        {0, BEXORESULT_OK},
        {64, BEXORESULT_NETWORK_ERROR},
        {10050, BEXORESULT_NETWORK_ERROR},
        {10051, BEXORESULT_NETWORK_ERROR},
        {10054, BEXORESULT_NETWORK_ERROR},
        {10060, BEXORESULT_NETWORK_ERROR},
        {10065, BEXORESULT_NETWORK_ERROR},
        {995, BEXORESULT_ABORTED},
        {10014, BEXORESULT_INVALID_ARGUMENT},
        {10047, BEXORESULT_INVALID_ARGUMENT},
        {10049, BEXORESULT_INVALID_ARGUMENT},
        {10022, BEXORESULT_INVALID_STATE},
        {10037, BEXORESULT_INVALID_STATE},
        {10038, BEXORESULT_INVALID_STATE},
        {10093, BEXORESULT_INVALID_STATE},
        {10061, BEXORESULT_CONNECTION_REFUSED},
        {1225, BEXORESULT_UNKNOWN_ERROR},
        {10055, BEXORESULT_UNKNOWN_ERROR},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MapSocketError(c.osError), c.expected) << c.osError;
    }
}

TEST(SocketErrorTest, OsErrorsBecomeWindowsSocketsNumbers) {
    // The errno values behind the completions of the POSIX backend.
    EXPECT_EQ(Platform::WsaErrorFromErrno(ECONNRESET), 10054u);
    EXPECT_EQ(Platform::WsaErrorFromErrno(ECONNREFUSED), 10061u);
    EXPECT_EQ(Platform::WsaErrorFromErrno(ETIMEDOUT), 10060u);
    EXPECT_EQ(Platform::WsaErrorFromErrno(ENETUNREACH), 10051u);
    EXPECT_EQ(Platform::WsaErrorFromErrno(EHOSTUNREACH), 10065u);
    EXPECT_EQ(MapSocketError(Platform::WsaErrorFromErrno(EIO)), BEXORESULT_UNKNOWN_ERROR);
    // The Win32 errors that Windows' completion packets carry: a reset, a refused
    // connect and a connect that timed out give what the socket calls themselves give,
    // and a call ended by closing its socket is aborted, also as Wine reports it (676).
    const struct {
        std::uint32_t win32Error;
        std::uint32_t expected;
    } cases[] = {
        {64, 10054}, {1225, 10061}, {121, 10060},   {1236, 10053}, {1231, 10051}, {1232, 10065},
        {995, 995},  {676, 995},    {10054, 10054}, {0, 0},        {5, 5},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Platform::WsaErrorFromWin32(c.win32Error), c.expected) << c.win32Error;
    }
}

TEST(SocketErrorTest, WinsockStartupServesTheVersionAskedFor) {
    WinsockInit winsock;
    EXPECT_TRUE(winsock.Startup(2, 2));
    winsock.Cleanup();
    EXPECT_FALSE(winsock.Startup(0, 0));
}

TEST(GetHostByNameTest, ResolvesDottedAddressesAndLocalNamesInHostOrder) {
    // Dotted addresses and names from the hosts file need no name server.
    EXPECT_EQ(Platform::GetHostByName("127.0.0.1"), std::vector<std::uint32_t>{kLoopback});
    EXPECT_EQ(Platform::GetHostByName("10.1.2.3"), std::vector<std::uint32_t>{0x0A010203});
    const std::vector<std::uint32_t> local = Platform::GetHostByName("localhost");
    EXPECT_NE(std::find(local.begin(), local.end(), kLoopback), local.end());
    EXPECT_TRUE(Platform::GetHostByName("").empty());
}

TEST(IOOperationTest, NamesItsKinds) {
    EXPECT_STREQ(IOOperation::OperationName(IOOperation::IO_TCP_Read), "IO_TCP_Read");
    EXPECT_STREQ(IOOperation::OperationName(IOOperation::IO_TCP_Disconnect), "IO_TCP_Disconnect");
    EXPECT_STREQ(IOOperation::OperationName(11), "IO_UNKNOWN");
    EXPECT_STREQ(IOOperation::OperationName(-1), "IO_UNKNOWN");
}

TEST(IOOperationDeathTest, BrokenHandOverHitsTheAssertion) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Taken from the port without having been posted.
    EXPECT_DEATH(
        {
            IOOperation operation;
            operation.SetState(IOOperation::STATE_CAUGHT);
        },
        "Assertion failed: IsInState\\(STATE_POSTED\\)");
    // Destroyed while posted: the waiter never saw it finish.
    EXPECT_DEATH(
        {
            IOOperation operation;
            operation.SetState(IOOperation::STATE_POSTED);
        },
        "Assertion failed: IsInState\\(STATE_COMPLETE\\) \\|\\| IsInState\\(STATE_UNUSED\\)");
}

TEST(TCPSocketDeathTest, TwoThreadsInOneClassHitTheAssertion) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            TCPSocket socket;
            socket.EnterUserlandOperation(TCPSocket::USERLAND_OPERATION_CLASS_READ);
            std::thread other([&socket] {
                socket.EnterUserlandOperation(TCPSocket::USERLAND_OPERATION_CLASS_READ);
            });
            other.join();
        },
        "Assertion failed: wasThreadID == -1 \\|\\| wasThreadID == myThreadID");
    EXPECT_DEATH(
        {
            TCPSocket socket;
            socket.EnterUserlandOperation(TCPSocket::USERLAND_OPERATION_CLASS_MAX);
        },
        "Assertion failed: userlandOperationClass != USERLAND_OPERATION_CLASS_MAX");
}

TEST(CPSocketManagerTest, CreatedAndDestroyedWithNothingOutstanding) {
    for (int round = 0; round < 3; ++round) {
        CPSocketManager* manager = AcquireSocketManager(1);
        ASSERT_NE(manager, nullptr);
        EXPECT_EQ(AcquireSocketManager(1), manager);
        EXPECT_EQ(manager->GetThreadCount(), 1u);
        EXPECT_TRUE(IsInUserlandThread());
        ReleaseSocketManager();
        ReleaseSocketManager();
    }
}

// Records each read step as the IOCP thread sees it and signals the first step that
// moved bytes, so the peer can send the rest only after it.
class StepRecordingSocket : public TCPSocket {
public:
    std::vector<std::uint32_t> steps;
    Kos::WEvent firstBytes{true, false, nullptr};
    int completions = 0;

protected:
    bool RecvResponse(IOOperation& operation, std::uint32_t error) override {
        steps.push_back(operation.m_stepBytes);
        if (operation.m_stepBytes > 0) {
            firstBytes.Set();
        }
        const bool finished = TCPSocket::RecvResponse(operation, error);
        completions += finished ? 1 : 0;
        return finished;
    }
};

class SocketFixture : public ::testing::Test {
protected:
    void SetUp() override {
        manager = AcquireSocketManager(1);
        listener = Platform::TcpListener::Listen("127.0.0.1", 0);
        ASSERT_TRUE(listener);
    }
    void TearDown() override { ReleaseSocketManager(); }

    // Connects the socket to the listener; the accepted peer in `peer`.
    void Connect(TCPSocket& socket) {
        ASSERT_TRUE(socket.Create(manager));
        ASSERT_EQ(socket.Bind({0, 0}), BEXORESULT_OK);
        EXPECT_NE(socket.GetLocalAddress().port, 0);
        std::thread accept([this] { peer = listener->Accept(); });
        IOOperation connect;
        socket.EnterUserlandOperation(TCPSocket::USERLAND_OPERATION_CLASS_READ);
        socket.StartConnect({kLoopback, listener->Port()}, connect);
        connect.Wait();
        socket.LeaveUserlandOperation(TCPSocket::USERLAND_OPERATION_CLASS_READ);
        accept.join();
        ASSERT_EQ(connect.m_error, BEXORESULT_OK);
        ASSERT_TRUE(peer);
        EXPECT_EQ(socket.GetLocalAddress().address, kLoopback);
    }

    CPSocketManager* manager = nullptr;
    std::unique_ptr<Platform::TcpListener> listener;
    std::unique_ptr<Platform::TcpStream> peer;
};

TEST_F(SocketFixture, ReadAnsweredInStepsOfOneAndThreeCompletesOnce) {
    StepRecordingSocket socket;
    Connect(socket);
    ASSERT_TRUE(peer->WriteAll("a", 1));
    char data[4] = {};
    IOOperation read;
    read.SetBuffer(sizeof data, data);
    read.SetRequested(sizeof data);
    socket.EnterUserlandOperation(TCPSocket::USERLAND_OPERATION_CLASS_READ);
    socket.StartRead(read);
    ASSERT_TRUE(socket.firstBytes.Lock(Platform::kInfinite));
    ASSERT_TRUE(peer->WriteAll("bcd", 3));
    read.Wait();
    socket.LeaveUserlandOperation(TCPSocket::USERLAND_OPERATION_CLASS_READ);
    EXPECT_EQ(read.m_error, BEXORESULT_OK);
    EXPECT_EQ(read.m_transferred, 4u);
    EXPECT_TRUE(read.m_completed.load());
    EXPECT_EQ(std::memcmp(data, "abcd", 4), 0);
    EXPECT_EQ(socket.steps, (std::vector<std::uint32_t>{0, 1, 3}));
    EXPECT_EQ(socket.completions, 1);
}

TEST_F(SocketFixture, WriteOfManyMegabytesMovesEveryByte) {
    TCPSocket socket;
    Connect(socket);
    std::vector<std::uint8_t> sent(8 << 20);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<std::uint8_t>(i * 7 + i / 4096);
    }
    std::vector<std::uint8_t> received(sent.size());
    std::thread reader([&] { EXPECT_TRUE(peer->ReadAll(received.data(), received.size())); });
    IOOperation write;
    write.SetBuffer(static_cast<std::uint32_t>(sent.size()), sent.data());
    write.SetRequested(static_cast<std::uint32_t>(sent.size()));
    socket.EnterUserlandOperation(TCPSocket::USERLAND_OPERATION_CLASS_WRITE);
    socket.StartWrite(write);
    write.Wait();
    socket.LeaveUserlandOperation(TCPSocket::USERLAND_OPERATION_CLASS_WRITE);
    reader.join();
    EXPECT_EQ(write.m_error, BEXORESULT_OK);
    EXPECT_EQ(write.m_transferred, sent.size());
    EXPECT_EQ(received, sent);
}

TEST_F(SocketFixture, ReadOfAResetConnectionIsANetworkError) {
    TCPSocket socket;
    Connect(socket);
    peer->Abort();
    char data[4];
    IOOperation read;
    read.SetBuffer(sizeof data, data);
    read.SetRequested(sizeof data);
    socket.EnterUserlandOperation(TCPSocket::USERLAND_OPERATION_CLASS_READ);
    socket.StartRead(read);
    read.Wait();
    socket.LeaveUserlandOperation(TCPSocket::USERLAND_OPERATION_CLASS_READ);
    EXPECT_EQ(read.m_error, BEXORESULT_NETWORK_ERROR);
    EXPECT_EQ(read.m_osError, 10054u);
}

TEST_F(SocketFixture, RequestsOnASocketThatWasNeverCreatedFinishInvalidState) {
    TCPSocket socket;
    EXPECT_EQ(socket.Bind({0, 0}), BEXORESULT_INVALID_STATE);
    char data[1];
    IOOperation read;
    read.SetBuffer(1, data);
    read.SetRequested(1);
    socket.EnterUserlandOperation(TCPSocket::USERLAND_OPERATION_CLASS_READ);
    socket.StartRead(read);
    read.Wait();
    socket.LeaveUserlandOperation(TCPSocket::USERLAND_OPERATION_CLASS_READ);
    EXPECT_EQ(read.m_error, BEXORESULT_INVALID_STATE);
}

}  // namespace
