#include "session/RepairSession.h"

#include <cstdint>
#include <string>
#include <vector>

#include "kernel/FileUtil.h"
#include "kernel/MessageCatalogue.h"
#include "kernel/PatchSettings.h"
#include "kernel/SystemLog.h"
#include "kernel/Text.h"
#include "patch/PatchCallbacks.h"
#include "patch/PatchingMarker.h"
#include "platform/Sockets.h"
#include "repair/RepairClient.h"
#include "session/PatchThread.h"
#include "session/RepairServerSetting.h"
#include "session/SessionWindow.h"

namespace BexoPatch {

namespace {

constexpr std::int32_t kGaugeRange = 1000;
// Short enough that a cancel request stops the client within a second.
constexpr std::uint32_t kPollMs = 200;

// The line logged when the client enters a stage; stages without one log nothing.
const wchar_t* StageText(std::int32_t stage) {
    switch (stage) {
        case RepairClient::kScanning:
            return L"Scanning installed files. This may take a while.";
        case RepairClient::kConnecting:
            return L"Connecting to patch servers.";
        case RepairClient::kPreparing:
            return L"Preparing download list.";
        case RepairClient::kReceiving:
            return L"Receiving updated files.";
        default:
            return nullptr;
    }
}

const wchar_t* StageError(std::int32_t stage) {
    switch (stage) {
        case RepairClient::kScanning:
            return L"Error while scanning local files.";
        case RepairClient::kConnecting:
        case RepairClient::kPreparing:
            return L"Unable to connect to patch servers.";
        case RepairClient::kReceiving:
            return L"Error occurred while repairing files.";
        default:
            return L"Internal error occurred.";
    }
}

std::wstring Seconds(std::uint32_t ms) {
    return std::to_wstring((ms + 999) / 1000);
}

// The line that says what ended the session, beyond its stage; empty when the stage's
// own line says it all.
std::wstring ProblemText(const RepairClient& client) {
    const RepairTimeLimits& limits = client.TimeLimits();
    const std::wstring file = client.GetProblemFile();
    switch (client.GetProblem()) {
        case RepairProblem::kConnectTimedOut:
            return FillFields(LoadMessage(262), {Seconds(limits.connectMs)});
        case RepairProblem::kHandshakeTimedOut:
            return FillFields(LoadMessage(263), {Seconds(limits.handshakeMs)});
        case RepairProblem::kUploadTimedOut:
            return FillFields(LoadMessage(264), {Seconds(limits.uploadMs)});
        case RepairProblem::kReceiveStalled:
            return FillFields(LoadMessage(265), {Seconds(limits.receiveMs)});
        case RepairProblem::kCannotWrite:
            return FillFields(LoadMessage(266), {file});
        case RepairProblem::kDamagedData:
            return FillFields(LoadMessage(267), {file});
        case RepairProblem::kGrowthRefused:
            return FillFields(LoadMessage(268), {file});
        case RepairProblem::kBadRecord:
            return LoadMessage(269);
        case RepairProblem::kNone:
            break;
    }
    return {};
}

// Logs the text of every stage entered since the last call, once each and in order,
// even when the client passed several stages between two polls.
void ShowStageTexts(const RepairClient& client, std::int32_t* shown) {
    const std::int32_t stage = client.GetStage();
    while (*shown < stage) {
        ++*shown;
        if (const wchar_t* text = StageText(*shown)) {
            ReportLogLine(LOG_NORMAL, text);
        }
    }
}

void SetGauge(SessionWindow* window, std::int32_t value) {
    if (window != nullptr) {
        window->SetProgressValue(value);
    }
}

}  // namespace

bool RunRepairSession(PatchThread& session) {
    SessionWindow* window = session.Owner();
    RepairClient client;

    std::vector<std::wstring> problems;
    const RepairServerAddress server = ReadRepairServerSetting(&problems);
    for (const std::wstring& problem : problems) {
        ReportLogLine(LOG_ERROR, problem);
    }
    SystemLog("RunRepairSession> repair server %s:%u", server.host.c_str(),
              static_cast<unsigned>(server.port));
    const std::vector<std::uint32_t> addresses = Platform::GetHostByName(server.host);
    if (addresses.empty()) {
        ReportLogLine(LOG_ERROR,
                      L"Unable to contact repair server; check your network connection.");
        return false;
    }

    const std::wstring installPath = PatchSettings::Instance().GetInstallPath();
    client.SetRoot(installPath);
    client.SetChecksumFile(JoinPath(installPath, L"repair.cks"));
    client.SetServer(SocketEndpoint{addresses.front(), server.port});
    client.SetExclusions({JoinPath(installPath, L"unins000.exe")});
    client.Start();

    session.transferState = TRANSFER_PATCHING;
    if (window != nullptr) {
        window->SetProgressRange(kGaugeRange);
    }

    std::int32_t shown = 0;
    const auto cancelled = [window] { return window != nullptr && window->CancelRequested(); };
    while (client.IsBusy() && !cancelled()) {
        ShowStageTexts(client, &shown);
        if (client.GetStage() > RepairClient::kPreparing) {
            SetGauge(window, static_cast<std::int32_t>(client.GetProgress() *
                                                       static_cast<float>(kGaugeRange)));
        }
        // Wakes as soon as the worker ends, so a finished repair is reported at once.
        client.WaitUntilIdle(kPollMs);
    }
    ShowStageTexts(client, &shown);

    const std::int32_t stage = client.GetStage();
    if (stage > RepairClient::kPreparing) {
        ReportLogLine(LOG_NORMAL, ToWide(FormatString("(%d / %d segments updated.)",
                                                      static_cast<int>(client.GetUpdated()),
                                                      static_cast<int>(client.GetAnnounced()))));
    }
    bool result = false;
    if (client.Succeeded()) {
        // Every file now matches the server's: a step that failed half-way is mended.
        ClearPatchingMarker();
        SetGauge(window, kGaugeRange);
        result = true;
    } else if (!cancelled()) {
        if (const std::wstring problem = ProblemText(client); !problem.empty()) {
            ReportLogLine(LOG_ERROR, problem);
        }
        ReportLogLine(LOG_ERROR, StageError(stage));
        ReportLogLine(LOG_NORMAL, ToWide(FormatString("(Error %d in stage %d)",
                                                      static_cast<int>(client.GetError()),
                                                      static_cast<int>(stage))));
    }
    return result;
}

}  // namespace BexoPatch
