// The Service Control Manager behind the service-manager interface, and, inside the service,
// the service dispatcher: its status reports stand in for the notification protocol (READY=1
// reports running, STOPPING=1 stop pending), and the stop control arrives as a stop signal.
#include <algorithm>
#include <atomic>
#include <vector>

#include "platform/process.h"
#include "platform/service_manager.h"
#include "platform/signals.h"
#include "platform/windows/win.h"

namespace platform {
namespace {

std::string failure(const char* what) {
  const DWORD code = GetLastError();
  return std::string(what) + ": error " + std::to_string(code);
}

struct ScHandle {
  explicit ScHandle(SC_HANDLE handle) : h(handle) {}
  ~ScHandle() {
    if (h) CloseServiceHandle(h);
  }
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;
  SC_HANDLE h;
};

class WindowsServiceManager final : public ServiceManager {
 public:
  bool install(const ServiceDefinition& d, std::string& error) override {
    ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!scm.h) return (error = failure("OpenSCManager"), false);
    const std::wstring name = win::widen(d.name);
    // A registration already there is replaced.
    if (ScHandle old(OpenServiceW(scm.h, name.c_str(), DELETE)); old.h) DeleteService(old.h);
    const std::wstring command = L"\"" + win::widePath(d.executable) + L"\"";
    ScHandle s(CreateServiceW(scm.h, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                              SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                              command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!s.h) return (error = failure("CreateService"), false);
    std::wstring text = win::widen(d.description);
    SERVICE_DESCRIPTIONW description{text.data()};
    ChangeServiceConfig2W(s.h, SERVICE_CONFIG_DESCRIPTION, &description);
    return true;
  }

  bool remove(const std::string& name, std::string& error) override {
    ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm.h) return (error = failure("OpenSCManager"), false);
    ScHandle s(OpenServiceW(scm.h, win::widen(name).c_str(), DELETE));
    if (!s.h || !DeleteService(s.h)) return (error = failure("DeleteService"), false);
    return true;
  }

  bool installedExecutable(const std::string& name, std::string& path,
                           std::string& error) override {
    ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm.h) return (error = failure("OpenSCManager"), false);
    ScHandle s(OpenServiceW(scm.h, win::widen(name).c_str(), SERVICE_QUERY_CONFIG));
    if (!s.h) return (error = failure("OpenService"), false);
    DWORD size = 0;
    QueryServiceConfigW(s.h, nullptr, 0, &size);
    std::vector<unsigned char> buf(size + 16);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data());
    if (!QueryServiceConfigW(s.h, config, static_cast<DWORD>(buf.size()), &size)) {
      return (error = failure("QueryServiceConfig"), false);
    }
    std::wstring command = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
    if (!command.empty() && command.front() == L'"') {
      const size_t end = command.find(L'"', 1);
      command = command.substr(1, end == std::wstring::npos ? std::wstring::npos : end - 1);
    }
    path = win::slashPath(command.data(), command.size());
    return true;
  }

  bool query(const std::string& name, ServiceState& state, std::string& error) override {
    ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm.h) return (error = failure("OpenSCManager"), false);
    ScHandle s(OpenServiceW(scm.h, win::widen(name).c_str(), SERVICE_QUERY_STATUS));
    if (!s.h) {
      if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) {
        state = ServiceState::kNotInstalled;
        return true;
      }
      return (error = failure("OpenService"), false);
    }
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(s.h, &status)) return (error = failure("QueryServiceStatus"), false);
    switch (status.dwCurrentState) {
      case SERVICE_START_PENDING:
      case SERVICE_CONTINUE_PENDING: state = ServiceState::kStartPending; break;
      case SERVICE_RUNNING: state = ServiceState::kRunning; break;
      case SERVICE_STOP_PENDING:
      case SERVICE_PAUSE_PENDING: state = ServiceState::kStopPending; break;
      default: state = ServiceState::kStopped; break;
    }
    return true;
  }

  bool requestStart(const std::string& name, std::string& error) override {
    ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm.h) return (error = failure("OpenSCManager"), false);
    ScHandle s(OpenServiceW(scm.h, win::widen(name).c_str(), SERVICE_START));
    if (!s.h || !StartServiceW(s.h, 0, nullptr)) return (error = failure("StartService"), false);
    return true;
  }

  bool requestStop(const std::string& name, std::string& error) override {
    ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm.h) return (error = failure("OpenSCManager"), false);
    ScHandle s(OpenServiceW(scm.h, win::widen(name).c_str(), SERVICE_STOP));
    SERVICE_STATUS status{};
    if (!s.h || !ControlService(s.h, SERVICE_CONTROL_STOP, &status)) {
      return (error = failure("ControlService"), false);
    }
    return true;
  }
};

// --- Inside the service ---------------------------------------------------------------------

SERVICE_STATUS_HANDLE g_status = nullptr;
HANDLE g_started = nullptr;  // set once the service main runs (or the dispatcher failed)
std::atomic<bool> g_isService{false};

void report(DWORD state) {
  if (!g_status) return;
  SERVICE_STATUS s{};
  s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  s.dwCurrentState = state;
  s.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  s.dwWaitHint = 20000;
  SetServiceStatus(g_status, &s);
}

DWORD WINAPI onControl(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    report(SERVICE_STOP_PENDING);
    raiseSignal(15);
    return NO_ERROR;
  }
  return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI serviceMain(DWORD, LPWSTR*) {
  g_status = RegisterServiceCtrlHandlerExW(L"", onControl, nullptr);
  report(SERVICE_START_PENDING);
  g_isService = g_status != nullptr;
  SetEvent(g_started);
  // The service's work runs on the thread that asked; this one returns to the dispatcher, which
  // keeps running until the process reports SERVICE_STOPPED or ends.
}

DWORD WINAPI dispatcherThread(void*) {
  static wchar_t empty[] = L"";
  SERVICE_TABLE_ENTRYW table[] = {{empty, serviceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) SetEvent(g_started);  // not started as a service
  return 0;
}

}  // namespace

std::unique_ptr<ServiceManager> systemServiceManager() {
  return std::make_unique<WindowsServiceManager>();
}

// Asked once: the dispatcher connects to the Service Control Manager only when it started us.
std::string serviceNotifySocket() {
  static const bool service = [] {
    g_started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!g_started) return false;
    HANDLE t = CreateThread(nullptr, 0, dispatcherThread, nullptr, 0, nullptr);
    if (!t) return false;
    CloseHandle(t);
    WaitForSingleObject(g_started, 30000);
    return g_isService.load();
  }();
  return service ? "scm" : "";
}

bool serviceNotify(const std::string& assignments) {
  if (serviceNotifySocket().empty()) return false;
  if (assignments.find("STOPPING=1") != std::string::npos) {
    report(SERVICE_STOP_PENDING);
  } else if (assignments.find("READY=1") != std::string::npos) {
    report(SERVICE_RUNNING);
  } else if (assignments.find("STATUS=остановлена") != std::string::npos) {
    report(SERVICE_STOPPED);
  }
  return true;
}

uint64_t serviceWatchdogUsec() { return 0; }

CommandRunner realCommandRunner() {
  return [](const std::vector<std::string>& args, std::string& out) -> int {
    out.clear();
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE r = nullptr, w = nullptr;
    if (!CreatePipe(&r, &w, &inherit, 0)) return -1;
    SetHandleInformation(r, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = w;
    si.hStdError = w;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi{};
    std::wstring line = win::widen(joinCommandLine(args));
    const BOOL ok = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                   nullptr, nullptr, &si, &pi);
    CloseHandle(w);
    if (!ok) {
      CloseHandle(r);
      return -1;
    }
    CloseHandle(pi.hThread);
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(r, buf, sizeof buf, &n, nullptr) && n > 0) {
      if (out.size() < 64 * 1024) out.append(buf, std::min<size_t>(n, 64 * 1024 - out.size()));
    }
    CloseHandle(r);
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    return static_cast<int>(code);
  };
}

}  // namespace platform
