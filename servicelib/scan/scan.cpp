// Placeholder until the scan engine lands.
#include "../servicelib.h"

extern "C" INTN EFIAPI ScanInput (IN SCAN_INPUT_ROUTINE InputRoutine, IN UINTN Reserved, IN BOOLEAN Wide,
                                  IN CONST VOID *Format, IN VA_LIST Args)
{
  (void)InputRoutine; (void)Reserved; (void)Wide; (void)Format; (void)Args;
  return 0;
}
