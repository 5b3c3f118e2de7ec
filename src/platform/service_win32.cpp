// service_win32.cpp -- the host on Windows: a console, or the Service
// Control Manager; installing and removing the service; the event log.
//
// Whether the manager started the process is learnt from its parent, which
// for every service is the manager's own process, services.exe; only then
// is its dispatcher called, which confirms it. So a service made with
// plain `sc.exe create` runs as one too, with no option of its own, and a
// console start never waits on a dispatcher that is not there (Wine's
// makes such a caller wait ten seconds before it fails).
#ifndef _WIN32
#error "service_win32.cpp builds for Windows only; POSIX systems use service_posix.cpp"
#endif

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// (after windows.h, which it needs)
#include <tlhelp32.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/platform.h"
#include "platform/service.h"

namespace peerdir {

namespace {

// How long the manager is told to wait for the next sign of progress: a
// start reads one small file and opens one socket; a stop releases a batch
// of clients between checkpoints.
constexpr DWORD kStartWaitHintMillis = 30000;
constexpr DWORD kStopWaitHintMillis = 10000;

// A service that fails is started again after this pause, up to this many
// times in a row; the count starts afresh after kFailureResetSeconds
// without a failure, much as systemd's start limit does.
constexpr DWORD kRestartDelayMillis = 5000;
constexpr int kRestartsInARow = 5;
constexpr DWORD kFailureResetSeconds = 60;

// How long --service-uninstall waits for a stop, at most, when the service
// shows no progress; each new checkpoint from it extends the wait.
constexpr DWORD kUninstallStopQuietMillis = 30000;

// The event log's event identifiers; without a message file of our own
// the viewer shows the text after a note that the description is missing.
constexpr DWORD kEventStarted = 1;
constexpr DWORD kEventStopRequested = 2;
constexpr DWORD kEventStartFailed = 3;

struct ServiceRun {
    ProgramEntry program = nullptr;
    void* context = nullptr;
    int exitStatus = 0;
    std::string name;
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    HANDLE eventSource = nullptr;
    // Guards status and the two flags: the control handler runs on the
    // dispatcher's thread, the program on the service's.
    CRITICAL_SECTION lock;
    SERVICE_STATUS status{};
    bool serving = false;
    bool stopping = false;
};

ServiceRun g_run;
std::atomic<bool> g_isService{false};

// Called with g_run.lock held. Pending states carry a checkpoint that grows
// with each report, which is what the manager watches for progress.
void setStatus(DWORD state, DWORD waitHint) {
    SERVICE_STATUS& status = g_run.status;
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    status.dwCheckPoint = pending && status.dwCurrentState == state ? status.dwCheckPoint + 1 : 0;
    status.dwCurrentState = state;
    status.dwWaitHint = pending ? waitHint : 0;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    SetServiceStatus(g_run.statusHandle, &status);
}

void reportEvent(WORD type, DWORD id, const std::string& text) {
    if (g_run.eventSource == nullptr) return;
    const char* strings[1] = {text.c_str()};
    ReportEventA(g_run.eventSource, type, 0, id, nullptr, 1, 0, strings, nullptr);
}

// The stop and the system's shutdown end the server as Ctrl+C does; a
// repeated request changes nothing.
void beginStop(DWORD control) {
    EnterCriticalSection(&g_run.lock);
    const bool first = !g_run.stopping;
    g_run.stopping = true;
    if (first) setStatus(SERVICE_STOP_PENDING, kStopWaitHintMillis);
    LeaveCriticalSection(&g_run.lock);
    if (!first) return;
    const char* line = control == SERVICE_CONTROL_SHUTDOWN
                           ? "service: The system is shutting down; stopping the server."
                           : "service: Stop requested by the Service Control Manager.";
    logLine(line);
    reportEvent(EVENTLOG_INFORMATION_TYPE, kEventStopRequested, line);
    requestShutdown();
}

DWORD WINAPI onServiceControl(DWORD control, DWORD, LPVOID, LPVOID) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            beginStop(control);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// The program's status becomes the service's: 0 is a plain stop, anything
// else a service-specific error carrying it.
void reportStopped(int exitStatus) {
    EnterCriticalSection(&g_run.lock);
    g_run.status.dwWin32ExitCode = exitStatus == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    g_run.status.dwServiceSpecificExitCode = static_cast<DWORD>(exitStatus);
    setStatus(SERVICE_STOPPED, 0);
    LeaveCriticalSection(&g_run.lock);
}

void reportFailedStart(int exitStatus) {
    std::string text = "The service " + g_run.name + " could not start (exit status " +
                       std::to_string(exitStatus) + "). The end of its log:\r\n";
    std::string lines = recentLines();
    for (char c : lines) {
        if (c == '\n') text += '\r';
        text += c;
    }
    reportEvent(EVENTLOG_ERROR_TYPE, kEventStartFailed, text);
}

void WINAPI serviceMain(DWORD argc, LPSTR* argv) {
    g_run.name = argc > 0 && argv[0] != nullptr ? argv[0] : "peerdir";
    InitializeCriticalSection(&g_run.lock);
    g_run.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_run.statusHandle =
        RegisterServiceCtrlHandlerExA(g_run.name.c_str(), onServiceControl, nullptr);
    if (g_run.statusHandle == nullptr) {
        g_run.exitStatus = 1;
        return;
    }
    EnterCriticalSection(&g_run.lock);
    setStatus(SERVICE_START_PENDING, kStartWaitHintMillis);
    LeaveCriticalSection(&g_run.lock);
    g_run.eventSource = RegisterEventSourceA(nullptr, g_run.name.c_str());
    // Nobody answers on a service's standard input; reading it must end at
    // once rather than wait on whatever handle the process was given.
    std::freopen("NUL", "r", stdin);
    rememberRecentLines();
    g_run.exitStatus = g_run.program(g_run.context, ProcessHost{false});
    if (!g_run.serving && g_run.exitStatus != 0) reportFailedStart(g_run.exitStatus);
    if (g_run.eventSource != nullptr) DeregisterEventSource(g_run.eventSource);
    g_run.eventSource = nullptr;
    reportStopped(g_run.exitStatus);
}

// ---- Installing and removing ----

// One argument as the C runtime's command-line parser reads it back:
// quoted when it holds a blank or a quote, with the backslashes before a
// quote doubled.
std::string quoteArgument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        quoted += c;
        backslashes = 0;
    }
    quoted.append(2 * backslashes, '\\');
    return quoted + "\"";
}

std::string commandLine(const std::vector<std::string>& arguments) {
    std::string exe(MAX_PATH, '\0');
    for (;;) {
        DWORD length = GetModuleFileNameA(nullptr, &exe[0], static_cast<DWORD>(exe.size()));
        if (length < exe.size()) {
            exe.resize(length);
            break;
        }
        exe.resize(exe.size() * 2);
    }
    std::string line = quoteArgument(exe);
    for (const std::string& arg : arguments) line += " " + quoteArgument(arg);
    return line;
}

// What the manager's refusal means to an operator.
std::string why(DWORD code) {
    std::string text = "error " + std::to_string(code);
    switch (code) {
        case ERROR_ACCESS_DENIED:
            return text + ", access denied: run it as an administrator";
        case ERROR_SERVICE_EXISTS:
        case ERROR_DUPLICATE_SERVICE_NAME:
            return text + ", a service of that name exists already";
        case ERROR_SERVICE_DOES_NOT_EXIST:
            return text + ", no such service";
        case ERROR_SERVICE_MARKED_FOR_DELETE:
            return text + ", the service is marked for removal already";
        case ERROR_INVALID_LEVEL:
            return text + ", not supported by this system";
        default:
            return text;
    }
}

bool fail(const std::string& what, DWORD code, std::string* report) {
    *report = what + ": " + why(code) + ".";
    return false;
}

// Restarted after a failure, including an exit with a status other than 0,
// as systemd's Restart=on-failure does, and given up after a run of them.
// The wide call: Wine takes only that one. What the manager did, in words.
std::string setRestartOnFailure(SC_HANDLE service) {
    SC_ACTION actions[kRestartsInARow + 1];
    for (int i = 0; i < kRestartsInARow; ++i) actions[i] = {SC_ACTION_RESTART, kRestartDelayMillis};
    actions[kRestartsInARow] = {SC_ACTION_NONE, 0};
    SERVICE_FAILURE_ACTIONSW failure{};
    failure.dwResetPeriod = kFailureResetSeconds;
    failure.cActions = kRestartsInARow + 1;
    failure.lpsaActions = actions;
    if (ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure) == FALSE) {
        return "not restarted after a failure (" + why(GetLastError()) + ")";
    }
    SERVICE_FAILURE_ACTIONS_FLAG onExitStatus{};
    onExitStatus.fFailureActionsOnNonCrashFailures = TRUE;
    if (ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onExitStatus) ==
        FALSE) {
        return "restarted after a crash but not after a failed start (" + why(GetLastError()) + ")";
    }
    return "restarted after a failure";
}

void describe(SC_HANDLE service) {
    SERVICE_DESCRIPTIONA description{};
    char text[] = "peerdir name directory server: client programs find each other by name.";
    description.lpDescription = text;
    ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &description);
}

// Waits until the service has stopped: as long as it shows progress, and
// kUninstallStopQuietMillis at most without any.
bool waitUntilStopped(SC_HANDLE service) {
    SERVICE_STATUS status{};
    DWORD lastCheckPoint = 0;
    DWORD quietSince = GetTickCount();
    while (QueryServiceStatus(service, &status) != FALSE) {
        if (status.dwCurrentState == SERVICE_STOPPED) return true;
        if (status.dwCheckPoint != lastCheckPoint) {
            lastCheckPoint = status.dwCheckPoint;
            quietSince = GetTickCount();
        }
        if (GetTickCount() - quietSince > kUninstallStopQuietMillis) return false;
        Sleep(100);
    }
    return false;
}

// Stops the service unless it is stopped; true once it is.
bool stopService(SC_HANDLE service, bool* wasRunning) {
    SERVICE_STATUS status{};
    *wasRunning = false;
    if (QueryServiceStatus(service, &status) == FALSE) return false;
    if (status.dwCurrentState == SERVICE_STOPPED) return true;
    *wasRunning = true;
    if (status.dwCurrentState != SERVICE_STOP_PENDING &&
        ControlService(service, SERVICE_CONTROL_STOP, &status) == FALSE &&
        GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
        return false;
    }
    return waitUntilStopped(service);
}

// The name of the process id's program, without its directory; empty when
// the snapshot does not hold it. *parent gets its parent's id.
std::string programOf(HANDLE snapshot, DWORD id, DWORD* parent) {
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more != FALSE;
         more = Process32Next(snapshot, &entry)) {
        if (entry.th32ProcessID != id) continue;
        *parent = entry.th32ParentProcessID;
        return entry.szExeFile;
    }
    return "";
}

bool startedByServiceManager() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return true;  // let the dispatcher tell
    DWORD parent = 0;
    DWORD grandparent = 0;
    std::string program;
    if (!programOf(snapshot, GetCurrentProcessId(), &parent).empty()) {
        program = programOf(snapshot, parent, &grandparent);
    }
    CloseHandle(snapshot);
    std::size_t slash = program.find_last_of("\\/");
    if (slash != std::string::npos) program.erase(0, slash + 1);
    return lstrcmpiA(program.c_str(), "services.exe") == 0;
}

}  // namespace

int runUnderHost(ProgramEntry program, void* context) {
    g_run.program = program;
    g_run.context = context;
    g_isService.store(true);
    char ownProcess[] = "";
    SERVICE_TABLE_ENTRYA table[] = {{ownProcess, serviceMain}, {nullptr, nullptr}};
    if (startedByServiceManager() && StartServiceCtrlDispatcherA(table) != FALSE) {
        return g_run.exitStatus;
    }
    g_isService.store(false);
    return program(context, ProcessHost{});
}

void hostReportServing() {
    if (!g_isService.load()) return;
    EnterCriticalSection(&g_run.lock);
    g_run.serving = true;
    if (!g_run.stopping) setStatus(SERVICE_RUNNING, 0);
    LeaveCriticalSection(&g_run.lock);
    std::string lines = recentLines();
    std::string text = "The service " + g_run.name + " started.";
    for (std::size_t at = 0; at < lines.size(); ++at) {
        text += lines[at] == '\n' ? ' ' : lines[at];
    }
    reportEvent(EVENTLOG_INFORMATION_TYPE, kEventStarted, text);
}

void hostReportStopProgress() {
    if (!g_isService.load()) return;
    EnterCriticalSection(&g_run.lock);
    if (g_run.stopping) setStatus(SERVICE_STOP_PENDING, kStopWaitHintMillis);
    LeaveCriticalSection(&g_run.lock);
}

bool servicesSupported() { return true; }

bool serviceInstall(const std::string& name, const std::vector<std::string>& arguments,
                    std::string* report) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr) {
        return fail("could not open the Service Control Manager", GetLastError(), report);
    }
    const std::string command = commandLine(arguments);
    SC_HANDLE service =
        CreateServiceA(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                       command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service == nullptr) {
        DWORD code = GetLastError();
        CloseServiceHandle(manager);
        return fail("could not install the service " + name, code, report);
    }
    describe(service);
    // A service that runs but is not restarted is still worth having; the
    // line says what is missing.
    const std::string restarts = setRestartOnFailure(service);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    *report =
        "Installed the service " + name + ", started at boot and " + restarts + ": " + command;
    return true;
}

bool serviceUninstall(const std::string& name, std::string* report) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        return fail("could not open the Service Control Manager", GetLastError(), report);
    }
    SC_HANDLE service =
        OpenServiceA(manager, name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
    if (service == nullptr) {
        DWORD code = GetLastError();
        CloseServiceHandle(manager);
        return fail("could not remove the service " + name, code, report);
    }
    bool wasRunning = false;
    bool stopped = stopService(service, &wasRunning);
    DWORD code = GetLastError();
    bool removed = stopped && DeleteService(service) != FALSE;
    if (stopped && !removed) code = GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    if (!stopped) {
        *report = "the service " + name + " did not stop; it was not removed.";
        return false;
    }
    if (!removed) return fail("could not remove the service " + name, code, report);
    *report =
        std::string(wasRunning ? "Stopped and removed" : "Removed") + " the service " + name + ".";
    return true;
}

}  // namespace peerdir
