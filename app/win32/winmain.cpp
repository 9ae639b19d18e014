// The program entry of kfsflash.exe. The command line is not read.
//
// Order of start-up: the application window and the instance lock first (a second copy hands
// over to the first and ends before touching any drive), then the transport with its drive
// table, made on a worker thread while the main window is created, then the start-up through
// the presenter, before the window is shown.
#include <windows.h>
// windows.h first: the common controls header builds on its types.
#include <commctrl.h>

#include <array>
#include <exception>
#include <future>
#include <memory>
#include <string>

#include "app/presenter.h"
#include "app/restart.h"
#include "app/update_log.h"
#include "app/win32/application_window.h"
#include "app/win32/instance_lock.h"
#include "app/win32/main_form.h"
#include "container/embedded_buffers.h"
#include "drive/win32/atapi_imp.h"
#include "drive/win32/win32_registry.h"
#include "flash/clock.h"

namespace {

std::string ProgramPath() {
    std::array<char, MAX_PATH + 1> path{};
    const DWORD length = GetModuleFileNameA(nullptr, path.data(), MAX_PATH);
    return std::string(path.data(), length);
}

// kfsflash.log in the user's temporary folder: every update appends its block there.
std::string UpdateLogPath() {
    std::array<char, MAX_PATH + 1> folder{};
    const DWORD length = GetTempPathA(MAX_PATH, folder.data());
    if (length == 0 || length > MAX_PATH)
        return "kfsflash.log";  // next to wherever the program was started
    return std::string(folder.data(), length) + "kfsflash.log";
}

int RunMessageLoop(kfs::win32::TMainForm& form) {
    MSG message;
    while (!form.QuitReceived()) {
        const BOOL got = GetMessageA(&message, nullptr, 0, 0);
        if (got == 0)
            return static_cast<int>(message.wParam);
        if (got == -1)
            return 1;
        form.Dispatch(message);
    }
    return form.QuitCode();
}

int Run(HINSTANCE instance, int showCommand) {
    using namespace kfs;
    using namespace kfs::win32;

    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                  ICC_BAR_CLASSES | ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    const std::string title = ApplicationTitle(ProgramPath());
    ApplicationWindow application(instance, title);
    InstanceLock lock;
    if (!lock.Acquire(title)) {
        ActivateOtherInstance(application.hwnd(), title);
        return 0;
    }

    // The transport loads the ASPI manager and asks every target for its type and identity
    // while the window and its controls are made; both mostly wait on the system, so they
    // overlap. The lock is held by now: a second copy never gets this far.
    auto scan = std::async(std::launch::async, [] { return std::make_unique<TAtapiImp>(); });
    RealClock clock;
    Win32Registry registry;
    Win32Restart restart;

    TMainForm form(instance, application.hwnd(), title);
    application.SetMainWindow(form.hwnd());
    const std::unique_ptr<TAtapiImp> transport = scan.get();
    PlatformInfo platform;
    platform.windows9x = !transport->UsesPassThrough();
    platform.title = title;
    FileUpdateLog log(UpdateLogPath());
    Presenter presenter(form, *transport, clock, registry, restart, platform);
    presenter.SetUpdateLog(&log);
    form.SetPresenter(&presenter);

    const EmbeddedData embedded{ParameterBufferData(), EmbeddedFirmware::FromProgram()};
    StartupOutcome outcome = StartupOutcome::kReady;
    try {
        outcome = presenter.Startup(embedded);
    } catch (const std::exception& e) {
        ShowException(form.hwnd(), title, e.what());
    }
    int exitCode = 0;
    if (outcome != StartupOutcome::kFailed) {
        form.Show(showCommand);
        exitCode = RunMessageLoop(form);
    }
    // The presenter ends before the window object: no late message may reach it.
    form.SetPresenter(nullptr);
    return exitCode;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    try {
        return Run(instance, showCommand);
    } catch (const std::exception& e) {
        kfs::win32::ShowException(nullptr, "kfsflash", e.what());
    } catch (...) {
        kfs::win32::ShowException(nullptr, "kfsflash", nullptr);
    }
    return 1;
}
