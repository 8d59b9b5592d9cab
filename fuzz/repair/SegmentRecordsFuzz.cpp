// The repair server's segment records, received and written into a scratch installation
// by ReceiveSegments. The first byte is the number of records announced; the rest is the
// stream. Nothing may be written outside the installation.
// Seeds: fuzz/repair/corpus/segment_records.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "platform/Files.h"
#include "repair/AgentClientTask.h"
#include "repair/FileTreeSummary.h"
#include "repair/buffer/BexoDataBuffer.h"

namespace fs = std::filesystem;

namespace {

// <scratch>/outside/install is the installation; <scratch>/outside must hold nothing else.
const fs::path& Scratch() {
    static const fs::path dir = [] {
        const fs::path p = fs::temp_directory_path() /
                           ("osmel-fuzz-records-" + std::to_string(std::random_device{}()));
        fs::create_directories(p / "outside" / "install");
        return p;
    }();
    return dir;
}

class StreamClient : public BexoAgentClient {
public:
    StreamClient(std::wstring root, std::uint32_t announced)
        : m_root(std::move(root)), m_announced(announced) {}
    BexoDataBuffer* Connection() override { return &stream; }
    bool IsConnected() override { return true; }
    const std::wstring& Root() const override { return m_root; }
    FileTreeSummary& Summary() override { return m_summary; }
    std::uint32_t Received() const override { return m_received; }
    void CountReceived() override { ++m_received; }
    std::uint32_t Announced() const override { return m_announced; }
    bool CancelRequested() const override { return false; }
    void SaveChecksumFile() override {}
    // A refused record is an outcome the fuzzer expects; only writes outside count.
    void ReportProblem(RepairProblem /*problem*/, const std::wstring& /*file*/) override {}

    BexoDataBufferMemoryDynamic stream;

private:
    std::wstring m_root;
    std::uint32_t m_announced;
    std::uint32_t m_received = 0;
    FileTreeSummary m_summary;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return std::freopen("/dev/null", "w", stdout) == nullptr ? 1 : 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > 0xFFFFFu) {
        return 0;
    }
    const fs::path outside = Scratch() / "outside";
    const fs::path install = outside / "install";
    StreamClient client(Platform::FromSystemPath(install.string()), data[0] % 16);
    if (client.stream.WriteData(data + 1, static_cast<std::uint32_t>(size - 1)) != BEXORESULT_OK ||
        client.stream.Seek(0) != BEXORESULT_OK) {
        return 0;
    }
    ReceiveSegments(&client);

    for (const auto& entry : fs::directory_iterator(outside)) {
        if (entry.path() != install) {
            __builtin_trap();
        }
    }
    fs::remove_all(install);
    fs::create_directories(install);
    return 0;
}
