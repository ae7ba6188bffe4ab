#pragma once

// The boot-time recovery service: the MSI installs buttonguard.exe with this one argument as
// an automatic service, so that what a run killed by a power cut left blocked is put back at
// the next start of Windows, with no step of the administrator's. A word no one types by
// accident: started by hand, the service control manager refuses it.
inline constexpr char16_t kBootRecoveryServiceArgument[] = u"--boot-recovery-service";

// Connects to the service control manager, runs `recover` once and reports the service
// stopped: with the recovery's HRESULT as its service-specific exit code when it failed, so
// that the manager's own log shows it. Returns the same status, or the HRESULT of the failed
// connection.
int RunBootRecoveryService();
