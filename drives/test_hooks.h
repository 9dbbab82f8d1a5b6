// Seams for tests, apart from the program's own interfaces: what they change, nothing in the
// program asks for.
#pragma once

#include <cstdint>
#include <functional>

class CDISCFLASHDlg;

// When set, DownLoad runs this in place of the procedure of m_nKind, for every kind (kinds
// without a procedure included), with everything a procedure may rely on in place: drive open,
// busy, fresh buffer, inhibitor held, procedure-running flag set. Empty: the kind table decides.
using ProcedureHook = std::function<void(CDISCFLASHDlg&)>;
void SetProcedureHookForTests(ProcedureHook hook);

// While set, RenewReadBackBuffer fails as if the memory were not there.
void FailReadBackAllocationForTests(bool fail);

// Worker threads of sr no-wait commands that have not ended yet, given-up ones included.
int PassThroughWorkers();

// Image allocations larger than this many bytes fail as if memory were short. The default allows
// any size.
void SetImageAllocationLimit(uint32_t bytes);
