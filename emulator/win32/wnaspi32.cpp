// WNASPI32.DLL over the drive emulator. The drives come from the description file named by the
// environment variable KFS_EMULATOR_DRIVES; each sits at the ASPI address (host adapter, target,
// LUN) that its description gives. Optional environment:
//   KFS_EMULATOR_TRACE  file that receives one trace line per command;
//   KFS_EMULATOR_SPEED  factor by which the emulator's clock runs faster than the wall clock
//                       (programming a flash takes emulated time; default 1);
//   KFS_EMULATOR_SYNC   "1": execute requests before SendASPI32Command returns, as a polling
//                       manager would; otherwise requests with event notification or posting
//                       finish on the manager's completion thread, as they do with a real host
//                       adapter.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "drive/win32/aspi.h"
#include "emulator/emulator.h"

namespace {

using namespace kfs;

// An execute request waiting for the completion thread.
struct Job {
    aspi::SRB_ExecSCSICmd* srb;
    std::uint8_t flags;
    void* postProc;
    // Our own duplicate of the caller's event: the caller may close its handle as soon as it
    // sees the status.
    HANDLE event;
};

struct Manager {
    std::mutex lock;
    std::unique_ptr<emu::DriveSet> drives;
    int adapters = 0;
    bool synchronous = false;
    std::uint32_t speed = 1;
    DWORD lastTick = 0;
    // Requests handed to the completion thread and not finished; an abort marks them.
    std::set<void*> pending;
    std::set<void*> aborted;
    // The completion thread's queue (guarded by `lock`) and its wake-up event, set after each
    // push; the event exists once the thread runs.
    std::deque<Job> queue;
    HANDLE wake = nullptr;
};

std::string Env(const char* name) {
    char value[1024];
    const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

Manager& TheManager() {
    static Manager* manager = [] {
        auto* m = new Manager;
        const std::string path = Env("KFS_EMULATOR_DRIVES");
        try {
            if (path.empty())
                throw emu::DescriptionError("KFS_EMULATOR_DRIVES is not set");
            m->drives = std::make_unique<emu::DriveSet>(emu::DriveSet::FromFile(path));
            for (int i = 0; i < m->drives->Count(); ++i) {
                const int ha = m->drives->drive(i).description().hostAdapter;
                m->adapters = std::max(m->adapters, ha + 1);
            }
        } catch (const std::exception& e) {
            std::fprintf(stderr, "WNASPI32 emulator: %s\n", e.what());
            m->drives.reset();
            m->adapters = 0;
        }
        const std::string trace = Env("KFS_EMULATOR_TRACE");
        if (m->drives && !trace.empty() && !m->drives->SetTraceFile(trace))
            std::fprintf(stderr, "WNASPI32 emulator: cannot write %s\n", trace.c_str());
        const std::string speed = Env("KFS_EMULATOR_SPEED");
        if (!speed.empty())
            m->speed = std::max(1ul, std::strtoul(speed.c_str(), nullptr, 10));
        m->synchronous = Env("KFS_EMULATOR_SYNC") == "1";
        m->lastTick = GetTickCount();
        return m;
    }();
    return *manager;
}

// Device index of the drive at an ASPI address, or -1.
int Find(Manager& m, std::uint8_t ha, std::uint8_t target, std::uint8_t lun) {
    if (!m.drives)
        return -1;
    for (int i = 0; i < m.drives->Count(); ++i) {
        const emu::DriveDescription& d = m.drives->drive(i).description();
        if (d.hostAdapter == ha && d.target == target && d.lun == lun)
            return i;
    }
    return -1;
}

// The emulator's clock follows the wall clock (times the speed factor) between commands.
void AdvanceClock(Manager& m) {
    const DWORD now = GetTickCount();
    const std::uint64_t elapsed = static_cast<std::uint64_t>(now - m.lastTick) * m.speed;
    m.lastTick = now;
    m.drives->Advance(static_cast<std::uint32_t>(std::min<std::uint64_t>(elapsed, 0xFFFFFFFFu)));
}

// Runs an execute request and fills in its results; the status byte is written last.
void Execute(Manager& m, aspi::SRB_ExecSCSICmd* srb) {
    std::lock_guard<std::mutex> guard(m.lock);
    m.pending.erase(srb);
    if (m.aborted.erase(srb) != 0) {
        srb->SRB_Status = aspi::SS_ABORTED;
        return;
    }
    const int index = Find(m, srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun);
    if (index < 0) {
        srb->SRB_Status = aspi::SS_NO_DEVICE;
        return;
    }
    if (srb->SRB_BufLen > 0xFFFF || srb->SRB_CDBLen > 16) {
        srb->SRB_Status = aspi::SS_INVALID_SRB;
        return;
    }
    AdvanceClock(m);
    std::uint8_t cdb[16] = {};
    std::memcpy(cdb, srb->CDBByte, srb->SRB_CDBLen);
    const std::uint8_t direction = srb->SRB_Flags & (aspi::SRB_DIR_IN | aspi::SRB_DIR_OUT);
    emu::Outcome outcome;
    try {
        outcome = m.drives->Execute(index, cdb, srb->SRB_BufPointer,
                                    static_cast<std::uint16_t>(srb->SRB_BufLen), direction);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "WNASPI32 emulator: %s\n", e.what());
        srb->SRB_HaStat = 0;
        srb->SRB_TargStat = 0;
        srb->SRB_Status = aspi::SS_ERR;
        return;
    }
    srb->SRB_HaStat = 0;
    if (outcome.unanswered) {  // the drive never answered: the adapter gave up on it
        srb->SRB_HaStat = aspi::HASTAT_COMMAND_TIMEOUT;
        srb->SRB_TargStat = 0;
        srb->SRB_Status = aspi::SS_ERR;
        return;
    }
    if (outcome.systemError != 0) {  // the request failed before it reached the target
        srb->SRB_TargStat = 0;
        srb->SRB_Status = aspi::SS_ERR;
        return;
    }
    if (outcome.good) {
        srb->SRB_TargStat = 0;
        srb->SRB_Status = aspi::SS_COMP;
        return;
    }
    srb->SRB_TargStat = aspi::STATUS_CHKCOND;
    const std::size_t senseLen =
        std::min<std::size_t>({srb->SRB_SenseLen, outcome.sense.size(), aspi::kSenseAreaLen});
    std::memcpy(srb->SenseArea, outcome.sense.data(), senseLen);
    srb->SRB_Status = aspi::SS_ERR;
}

using PostProc = void(__cdecl*)(void* srb);

void Notify(std::uint8_t flags, void* postProc, HANDLE event, void* srb) {
    if ((flags & aspi::SRB_EVENT_NOTIFY) && event != nullptr) {
        SetEvent(event);
    } else if ((flags & aspi::SRB_POSTING) && postProc != nullptr) {
        reinterpret_cast<PostProc>(reinterpret_cast<void (*)()>(postProc))(srb);
    }
}

// The completion thread: one for the manager's lifetime, as a host adapter has one completion
// path. It is started with the first request that asks for notification; a thread per request
// would cost a thread start and a DLL attach round on every command.
DWORD WINAPI CompletionThread(void*) {
    Manager& m = TheManager();
    for (;;) {
        WaitForSingleObject(m.wake, INFINITE);
        for (;;) {
            Job job{};
            {
                std::lock_guard<std::mutex> guard(m.lock);
                if (m.queue.empty())
                    break;
                job = m.queue.front();
                m.queue.pop_front();
            }
            Execute(m, job.srb);
            Notify(job.flags, job.postProc, job.event, job.srb);
            if (job.event != nullptr)
                CloseHandle(job.event);
        }
    }
}

// Called with `m.lock` held. The thread keeps a reference to this DLL that it never gives back:
// a caller's FreeLibrary must not unmap the code it runs, and the thread lives until the
// process ends.
bool StartCompletionThread(Manager& m) {
    if (m.wake != nullptr)
        return true;
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCSTR>(&CompletionThread), &self))
        return false;
    // The event is in place before the thread starts to wait on it.
    m.wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE thread =
        m.wake ? CreateThread(nullptr, 0, &CompletionThread, nullptr, 0, nullptr) : nullptr;
    if (thread == nullptr) {
        if (m.wake != nullptr)
            CloseHandle(m.wake);
        m.wake = nullptr;
        FreeLibrary(self);
        return false;
    }
    CloseHandle(thread);
    return true;
}

// Queues an execute request for the completion thread; false when that is not possible.
bool StartAsync(Manager& m, aspi::SRB_ExecSCSICmd* srb) {
    Job job{srb, srb->SRB_Flags, srb->SRB_PostProc, nullptr};
    if ((job.flags & aspi::SRB_EVENT_NOTIFY) &&
        !DuplicateHandle(GetCurrentProcess(), static_cast<HANDLE>(srb->SRB_PostProc),
                         GetCurrentProcess(), &job.event, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        return false;
    }
    std::lock_guard<std::mutex> guard(m.lock);
    if (!StartCompletionThread(m)) {
        if (job.event != nullptr)
            CloseHandle(job.event);
        return false;
    }
    m.pending.insert(srb);
    srb->SRB_Status = aspi::SS_PENDING;
    m.queue.push_back(job);
    SetEvent(m.wake);
    return true;
}

DWORD ExecCommand(Manager& m, aspi::SRB_ExecSCSICmd* srb) {
    if (srb->SRB_HaId >= m.adapters)
        return srb->SRB_Status = aspi::SS_INVALID_HA;
    const bool notifies = (srb->SRB_Flags & (aspi::SRB_EVENT_NOTIFY | aspi::SRB_POSTING)) != 0;
    if (notifies && !m.synchronous && StartAsync(m, srb))
        return aspi::SS_PENDING;
    Execute(m, srb);
    Notify(srb->SRB_Flags, srb->SRB_PostProc, static_cast<HANDLE>(srb->SRB_PostProc), srb);
    return srb->SRB_Status;
}

DWORD HaInquiry(Manager& m, aspi::SRB_HAInquiry* srb) {
    if (srb->SRB_HaId != 0 && srb->SRB_HaId >= m.adapters) {
        return srb->SRB_Status = aspi::SS_INVALID_HA;
    }
    srb->HA_Count = static_cast<std::uint8_t>(m.adapters);
    srb->HA_SCSI_ID = 7;
    std::memset(srb->HA_ManagerId, ' ', sizeof srb->HA_ManagerId);
    std::memcpy(srb->HA_ManagerId, "ASPI for WIN32", 14);
    std::memset(srb->HA_Identifier, ' ', sizeof srb->HA_Identifier);
    std::memcpy(srb->HA_Identifier, "KFS EMULATOR", 12);
    std::memset(srb->HA_Unique, 0, sizeof srb->HA_Unique);
    srb->HA_Unique[3] = 8;  // eight targets per adapter
    return srb->SRB_Status = aspi::SS_COMP;
}

DWORD GetDeviceType(Manager& m, aspi::SRB_GDEVBlock* srb) {
    if (srb->SRB_HaId >= m.adapters)
        return srb->SRB_Status = aspi::SS_INVALID_HA;
    std::lock_guard<std::mutex> guard(m.lock);
    const int index = Find(m, srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun);
    if (index < 0)
        return srb->SRB_Status = aspi::SS_NO_DEVICE;
    srb->SRB_DeviceType = m.drives->drive(index).description().deviceType;
    return srb->SRB_Status = aspi::SS_COMP;
}

DWORD Abort(Manager& m, aspi::SRB_Abort* srb) {
    std::lock_guard<std::mutex> guard(m.lock);
    // A request that the completion thread has not finished yet completes as aborted; a finished
    // one has nothing left to abort.
    if (m.pending.count(srb->SRB_ToAbort) != 0) {
        m.aborted.insert(srb->SRB_ToAbort);
        return srb->SRB_Status = aspi::SS_COMP;
    }
    return srb->SRB_Status = aspi::SS_ABORT_FAIL;
}

}  // namespace

extern "C" {

DWORD __cdecl GetASPI32SupportInfo() {
    Manager& m = TheManager();
    if (m.adapters == 0)
        return static_cast<DWORD>(aspi::SS_NO_ADAPTERS) << 8;
    return (static_cast<DWORD>(aspi::SS_COMP) << 8) | static_cast<DWORD>(m.adapters);
}

DWORD __cdecl SendASPI32Command(void* request) {
    if (request == nullptr)
        return aspi::SS_INVALID_SRB;
    Manager& m = TheManager();
    auto* header = static_cast<aspi::SRB_Header*>(request);
    switch (header->SRB_Cmd) {
        case aspi::SC_HA_INQUIRY:
            return HaInquiry(m, static_cast<aspi::SRB_HAInquiry*>(request));
        case aspi::SC_GET_DEV_TYPE:
            return GetDeviceType(m, static_cast<aspi::SRB_GDEVBlock*>(request));
        case aspi::SC_EXEC_SCSI_CMD:
            return ExecCommand(m, static_cast<aspi::SRB_ExecSCSICmd*>(request));
        case aspi::SC_ABORT_SRB:
            return Abort(m, static_cast<aspi::SRB_Abort*>(request));
        case aspi::SC_RESET_DEV:
            return header->SRB_Status = aspi::SS_COMP;
        default:
            return header->SRB_Status = aspi::SS_INVALID_CMD;
    }
}

}  // extern "C"
