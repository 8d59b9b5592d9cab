#include "kernel/PatchSettings.h"

namespace BexoPatch {

using Lock = std::lock_guard<std::recursive_mutex>;

PatchSettings& PatchSettings::Instance() {
    // Destroyed only at exit, after every session thread has been joined.
    static PatchSettings settings;
    return settings;
}

void PatchSettings::SetInstallPath(const std::wstring& path) {
    Lock lock(m_lock);
    m_installPath = path;
}

std::wstring PatchSettings::GetInstallPath() const {
    Lock lock(m_lock);
    return m_installPath;
}

void PatchSettings::RebuildPatchNameLocked() {
    if (m_currentVersion.empty()) {
        m_currentVersion = PopBuildLocked();
    }
    m_patchName = m_currentVersion + "_to_" + m_targetVersion;
}

void PatchSettings::SetCurrentVersion(const std::string& version) {
    Lock lock(m_lock);
    m_currentVersion = version;
    RebuildPatchNameLocked();
}

std::string PatchSettings::GetCurrentVersion() {
    Lock lock(m_lock);
    if (m_currentVersion.empty()) {
        m_currentVersion = PopBuildLocked();
    }
    return m_currentVersion;
}

void PatchSettings::SetTargetVersion(const std::string& version) {
    Lock lock(m_lock);
    m_targetVersion = version;
    RebuildPatchNameLocked();
}

std::string PatchSettings::GetTargetVersion() const {
    Lock lock(m_lock);
    return m_targetVersion;
}

void PatchSettings::SetFinalVersion(const std::string& version) {
    Lock lock(m_lock);
    m_finalVersion = version;
}

std::string PatchSettings::GetFinalVersion() const {
    Lock lock(m_lock);
    return m_finalVersion;
}

std::string PatchSettings::GetPatchName() const {
    Lock lock(m_lock);
    return m_patchName;
}

void PatchSettings::SetRepairMode(bool on) {
    Lock lock(m_lock);
    m_repairMode = on;
}

void PatchSettings::SetStandaloneMode(bool on) {
    Lock lock(m_lock);
    m_standaloneMode = on;
    if (on) {
        m_downloadMode = false;
    }
}

void PatchSettings::SetDownloadMode(bool on) {
    Lock lock(m_lock);
    m_downloadMode = on;
    if (on) {
        m_standaloneMode = false;
    }
}

bool PatchSettings::RepairMode() const {
    Lock lock(m_lock);
    return m_repairMode;
}

bool PatchSettings::StandaloneMode() const {
    Lock lock(m_lock);
    return m_standaloneMode;
}

bool PatchSettings::DownloadMode() const {
    Lock lock(m_lock);
    return m_downloadMode;
}

bool PatchSettings::AddServer(const std::wstring& address) {
    Lock lock(m_lock);
    m_servers.push_back(address);
    return true;
}

std::vector<std::wstring> PatchSettings::Servers() const {
    Lock lock(m_lock);
    return m_servers;
}

void PatchSettings::PushBuild(const std::string& version) {
    Lock lock(m_lock);
    m_buildList.push_back(version);
}

std::string PatchSettings::PopBuildLocked() {
    if (m_buildList.empty()) {
        return {};
    }
    std::string first = m_buildList.front();
    m_buildList.pop_front();
    return first;
}

std::string PatchSettings::PopBuild() {
    Lock lock(m_lock);
    return PopBuildLocked();
}

void PatchSettings::Reset() {
    Lock lock(m_lock);
    m_installPath.clear();
    m_patchName.clear();
    m_currentVersion.clear();
    m_targetVersion.clear();
    m_finalVersion.clear();
    m_repairMode = false;
    m_standaloneMode = false;
    m_downloadMode = false;
    m_servers.clear();
    m_buildList.clear();
}

}  // namespace BexoPatch
