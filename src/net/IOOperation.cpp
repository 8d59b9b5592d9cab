#include "net/IOOperation.h"

#include "kernel/Assert.h"
#include "kernel/Sync.h"

namespace {
constexpr int kWaitSpins = 50;
}  // namespace

IOOperation::IOOperation() : m_event(OS::CreateEvent(true, false, nullptr)) {}

IOOperation::~IOOperation() {
    BexoAssert(IsInState(STATE_COMPLETE) || IsInState(STATE_UNUSED));
    m_state.store(STATE_DESTROYED);
    Platform::CloseHandle(m_event);
}

void IOOperation::Complete(TCPSocket* /*handler*/) {
    BexoAssert(IsInState(STATE_CAUGHT) || IsInState(STATE_FAILEDPOST));
    SetState(STATE_SIGNALLED);
    m_completed.store(true);
    Platform::SetEvent(m_event);
}

void IOOperation::SetBuffer(std::uint32_t capacity, void* buffer) {
    m_capacity = capacity;
    m_buffer = static_cast<std::uint8_t*>(buffer);
}

void IOOperation::SetRequested(std::uint32_t requested) {
    BexoAssert(requested <= m_capacity);
    m_requested = requested;
}

void IOOperation::Wait() {
    // Most requests finish within microseconds of their start; yielding a few times
    // first saves the waiting thread a sleep and the IOCP thread a wake-up.
    for (int spin = 0; spin < kWaitSpins && !m_completed.load(); ++spin) {
        Platform::Sleep(0);
    }
    Platform::WaitForSingleObject(m_event, Platform::kInfinite);
    BexoAssert(IsInState(STATE_UNUSED) || IsInState(STATE_SIGNALLED));
    SetState(STATE_COMPLETE);
}

bool IOOperation::Wait(std::uint32_t timeoutMs) {
    if (Platform::WaitForSingleObject(m_event, timeoutMs) != Platform::kWaitObject0) {
        return false;
    }
    BexoAssert(IsInState(STATE_UNUSED) || IsInState(STATE_SIGNALLED));
    SetState(STATE_COMPLETE);
    return true;
}

void IOOperation::SetState(State state) {
    switch (state) {
        case STATE_POSTED:
            BexoAssert(IsInState(STATE_UNUSED) || IsInState(STATE_CAUGHT));
            break;
        case STATE_FAILEDPOST:
        case STATE_CAUGHT:
            BexoAssert(IsInState(STATE_POSTED));
            break;
        case STATE_SIGNALLED:
            BexoAssert(IsInState(STATE_CAUGHT) || IsInState(STATE_FAILEDPOST));
            break;
        case STATE_COMPLETE:
            BexoAssert(IsInState(STATE_UNUSED) || IsInState(STATE_SIGNALLED));
            break;
        default:
            BexoAssert(false);
    }
    m_state.store(state);
}

const char* IOOperation::OperationName(std::int32_t kind) {
    switch (kind) {
        case IO_TCP_Invalid:
            return "IO_TCP_Invalid";
        case IO_TCP_StartConnect:
            return "IO_TCP_StartConnect";
        case IO_TCP_Connect:
            return "IO_TCP_Connect";
        case IO_TCP_StartAccept:
            return "IO_TCP_StartAccept";
        case IO_TCP_Accept:
            return "IO_TCP_Accept";
        case IO_TCP_Read:
            return "IO_TCP_Read";
        case IO_TCP_Write:
            return "IO_TCP_Write";
        case IO_TCP_StartRead:
            return "IO_TCP_StartRead";
        case IO_TCP_StartWrite:
            return "IO_TCP_StartWrite";
        case IO_TCP_StartDisconnect:
            return "IO_TCP_StartDisconnect";
        case IO_TCP_Disconnect:
            return "IO_TCP_Disconnect";
        default:
            return "IO_UNKNOWN";
    }
}
