// The DownLoad command's read-back buffer.
#pragma once

#include <cstdint>
#include <functional>

constexpr uint32_t kReadBackBufferSize = 1048576;

// The locked 1 MiB zero-filled block of the last DownLoad, or null.
extern uint8_t* readBackBuffer;

// Frees the previous block and allocates a new zero-filled one; false when that fails.
bool RenewReadBackBuffer();
// Frees the block; harmless when there is none.
void FreeReadBackBuffer();

// The process-wide state as at start: runtime, transport and identification (not the back ends).
void ResetProcessState();

// ---- test seams ---------------------------------------------------------------------------------
class CDISCFLASHDlg;
// When set, DownLoad runs this in place of the procedure of m_nKind, for every kind (kinds
// without a procedure included), with everything a procedure may rely on in place: drive open,
// busy, fresh buffer, inhibitor held, procedure-running flag set. Empty: the kind table decides.
using ProcedureHook = std::function<void(CDISCFLASHDlg&)>;
void SetProcedureHookForTests(ProcedureHook hook);
// While set, RenewReadBackBuffer fails as if the memory were not there.
void FailReadBackAllocationForTests(bool fail);
