#include "boot_recovery_service_windows.h"

#include <windows.h>

#include "run_command.h"

namespace {

SERVICE_STATUS_HANDLE statusHandle = nullptr;
int recoveryStatus = 0;

// The recovery takes moments and must not be cut short halfway through a scheme: no control
// is accepted but the question how the service is.
DWORD WINAPI HandleControl(DWORD control, DWORD, void*, void*) {
  return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void ReportState(DWORD state, int status) {
  SERVICE_STATUS service{};
  service.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  service.dwCurrentState = state;
  if (status != 0) {
    service.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    service.dwServiceSpecificExitCode = static_cast<DWORD>(status);
  }
  static_cast<void>(SetServiceStatus(statusHandle, &service));
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  statusHandle = RegisterServiceCtrlHandlerExW(L"buttonguard", HandleControl, nullptr);
  if (statusHandle == nullptr) {
    recoveryStatus = HresultFromWin32(GetLastError());
    return;
  }
  // Running at once: the start of Windows never waits for this service.
  ReportState(SERVICE_RUNNING, 0);
  recoveryStatus = RecoverAtBoot().exitStatus;
  ReportState(SERVICE_STOPPED, recoveryStatus);
}

}  // namespace

int RunBootRecoveryService() {
  // An own-process service: the name in the table is not used.
  wchar_t name[] = L"";
  const SERVICE_TABLE_ENTRYW services[] = {{name, ServiceMain}, {nullptr, nullptr}};
  if (StartServiceCtrlDispatcherW(services) == 0) return HresultFromWin32(GetLastError());
  return recoveryStatus;
}
