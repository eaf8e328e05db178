// The start-up hardening on Windows: DLLs from the system folder only, crash reports
// without the heap.
#include "platform/process_hardening.h"

#include <windows.h>
#include <werapi.h>

namespace {

// WER_FAULT_REPORTING_FLAG_NOHEAP, which mingw-w64's werapi.h does not name.
constexpr DWORD faultReportWithoutHeap = 1;

}  // namespace

void HardenProcess() {
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  WerSetFlags(faultReportWithoutHeap);
}
