// The process-wide settings of a patch session: the installation, the build versions,
// the run modes, the patch servers and the queue of candidate builds. Filled by start-up
// on the GUI thread; sessions read and update it on their own thread while the window
// only reads the installation path, so every access holds the object's lock.
#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace BexoPatch {

class PatchSettings {
public:
    // The one instance, created on first use and kept until the process exits.
    static PatchSettings& Instance();

    void SetInstallPath(const std::wstring& path);
    std::wstring GetInstallPath() const;

    // The current and target versions rebuild patchName ("<current>_to_<target>").
    void SetCurrentVersion(const std::string& version);
    // An empty current version first takes the next queued candidate build.
    std::string GetCurrentVersion();
    void SetTargetVersion(const std::string& version);
    std::string GetTargetVersion() const;
    void SetFinalVersion(const std::string& version);
    std::string GetFinalVersion() const;
    std::string GetPatchName() const;

    void SetRepairMode(bool on);
    // Standalone and download modes exclude each other: turning one on turns the other off.
    void SetStandaloneMode(bool on);
    void SetDownloadMode(bool on);
    bool RepairMode() const;
    bool StandaloneMode() const;
    bool DownloadMode() const;

    bool AddServer(const std::wstring& address);
    std::vector<std::wstring> Servers() const;

    void PushBuild(const std::string& version);
    // The first queued build, removed; empty when there is none.
    std::string PopBuild();

    // Back to the state of a new process, for tests.
    void Reset();

private:
    PatchSettings() = default;
    std::string PopBuildLocked();
    void RebuildPatchNameLocked();

    mutable std::recursive_mutex m_lock;
    std::wstring m_installPath;
    std::string m_patchName;
    std::string m_currentVersion;
    std::string m_targetVersion;
    std::string m_finalVersion;
    bool m_repairMode = false;
    bool m_standaloneMode = false;
    bool m_downloadMode = false;
    std::vector<std::wstring> m_servers;
    std::deque<std::string> m_buildList;
};

}  // namespace BexoPatch
