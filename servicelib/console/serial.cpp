// Placeholder until the serial console lands.
#include "../servicelib.h"

extern "C" UINTN EFIAPI SerialGetChar (VOID) { return 0; }
extern "C" VOID EFIAPI SerialPutChar (IN CHAR16 Ch, ...) { (void)Ch; }
