#include "platform/Process.h"

#include <vector>

#include "platform/win32/WinApi.h"

namespace Platform {

namespace {

// The job that holds every child started to end with this process: its last handle
// closes when this process ends, and the OS then kills what is left in it.
HANDLE EndWithParentJob() {
    static const HANDLE job = [] {
        const HANDLE created = ::CreateJobObjectW(nullptr, nullptr);
        if (created == nullptr) {
            return created;
        }
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (::SetInformationJobObject(created, JobObjectExtendedLimitInformation, &limits,
                                      sizeof limits) == 0) {
            ::CloseHandle(created);
            return HANDLE{nullptr};
        }
        return created;
    }();
    return job;
}

// An inheritable duplicate of a standard handle for the child, closed when the start
// is done. Null stands for this process's own handle.
class ChildStdHandle {
public:
    ChildStdHandle(Handle given, ::DWORD own) {
        const HANDLE source = given != nullptr ? ToWin32(given) : ::GetStdHandle(own);
        if (source == nullptr || source == INVALID_HANDLE_VALUE) {
            return;
        }
        const HANDLE self = ::GetCurrentProcess();
        if (::DuplicateHandle(self, source, self, &m_handle, 0, TRUE, DUPLICATE_SAME_ACCESS) == 0) {
            m_handle = nullptr;
            m_failed = given != nullptr;
        }
    }
    ~ChildStdHandle() {
        if (m_handle != nullptr) {
            ::CloseHandle(m_handle);
        }
    }
    ChildStdHandle(const ChildStdHandle&) = delete;
    ChildStdHandle& operator=(const ChildStdHandle&) = delete;

    HANDLE get() const { return m_handle; }
    bool failed() const { return m_failed; }

private:
    HANDLE m_handle = nullptr;
    bool m_failed = false;
};

// The attribute list that limits inheritance to the child's standard handles.
class InheritList {
public:
    explicit InheritList(const std::vector<HANDLE>& handles) : m_handles(handles) {
        SIZE_T size = 0;
        ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        m_storage.resize(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(m_storage.data());
        if (::InitializeProcThreadAttributeList(list, 1, 0, &size) == 0) {
            return;
        }
        m_list = list;
        if (::UpdateProcThreadAttribute(m_list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                        m_handles.data(), m_handles.size() * sizeof(HANDLE),
                                        nullptr, nullptr) == 0) {
            ::DeleteProcThreadAttributeList(m_list);
            m_list = nullptr;
        }
    }
    ~InheritList() {
        if (m_list != nullptr) {
            ::DeleteProcThreadAttributeList(m_list);
        }
    }
    InheritList(const InheritList&) = delete;
    InheritList& operator=(const InheritList&) = delete;

    LPPROC_THREAD_ATTRIBUTE_LIST get() const { return m_list; }

private:
    std::vector<HANDLE> m_handles;
    std::vector<unsigned char> m_storage;
    LPPROC_THREAD_ATTRIBUTE_LIST m_list = nullptr;
};

}  // namespace

bool CreatePipe(Handle* readEnd, Handle* writeEnd) {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    if (::CreatePipe(&read, &write, nullptr, 0) == 0) {
        return false;
    }
    *readEnd = FromWin32(read);
    *writeEnd = FromWin32(write);
    return true;
}

bool ReadFile(Handle file, void* buffer, DWORD size, DWORD* bytesRead) {
    ::DWORD n = 0;
    const bool ok = ::ReadFile(ToWin32(file), buffer, size, &n, nullptr) != 0;
    *bytesRead = n;
    return ok;
}

bool CreateProcess(const std::wstring& commandLine, const ProcessStartup& startup,
                   ProcessInformation* information) {
    const ChildStdHandle input(nullptr, STD_INPUT_HANDLE);
    const ChildStdHandle output(startup.stdOutput, STD_OUTPUT_HANDLE);
    const ChildStdHandle error(startup.stdError, STD_ERROR_HANDLE);
    if (output.failed() || error.failed()) {
        return false;
    }
    std::vector<HANDLE> inherited;
    for (const HANDLE h : {input.get(), output.get(), error.get()}) {
        if (h != nullptr) {
            inherited.push_back(h);
        }
    }
    const InheritList inheritList(inherited);

    STARTUPINFOEXW info{};
    info.StartupInfo.cb = sizeof info.StartupInfo;
    info.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    info.StartupInfo.hStdInput = input.get();
    info.StartupInfo.hStdOutput = output.get();
    info.StartupInfo.hStdError = error.get();
    ::DWORD flags = CREATE_NO_WINDOW;
    if (!startup.inheritHandles && inheritList.get() != nullptr) {
        info.StartupInfo.cb = sizeof info;
        info.lpAttributeList = inheritList.get();
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    }
    const HANDLE job = startup.endWithParent ? EndWithParentJob() : nullptr;
    if (startup.endWithParent) {
        if (job == nullptr) {
            return false;
        }
        // Suspended until it is in the job, so that nothing it starts escapes the job.
        flags |= CREATE_SUSPENDED;
    }

    std::wstring line = commandLine;
    const std::wstring directory = Win32Path(startup.currentDirectory);
    PROCESS_INFORMATION created{};
    if (::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, flags, nullptr,
                         directory.empty() ? nullptr : directory.c_str(), &info.StartupInfo,
                         &created) == 0) {
        return false;
    }
    if (startup.endWithParent) {
        if (::AssignProcessToJobObject(job, created.hProcess) == 0) {
            const ::DWORD assignError = ::GetLastError();
            ::TerminateProcess(created.hProcess, 1);
            ::CloseHandle(created.hThread);
            ::CloseHandle(created.hProcess);
            ::SetLastError(assignError);
            return false;
        }
        ::ResumeThread(created.hThread);
    }
    information->process = FromWin32(created.hProcess);
    information->thread = FromWin32(created.hThread);
    information->processId = created.dwProcessId;
    information->threadId = created.dwThreadId;
    return true;
}

bool TerminateProcess(Handle process, DWORD exitCode) {
    // Windows refuses to terminate a process that has ended; Wine does not, so the
    // refusal is made here.
    if (::WaitForSingleObject(ToWin32(process), 0) == WAIT_OBJECT_0) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return ::TerminateProcess(ToWin32(process), exitCode) != 0;
}

bool GetExitCodeProcess(Handle process, DWORD* exitCode) {
    ::DWORD code = 0;
    if (::GetExitCodeProcess(ToWin32(process), &code) == 0) {
        return false;
    }
    *exitCode = code;
    return true;
}

}  // namespace Platform
