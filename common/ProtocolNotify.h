// SPDX-License-Identifier: BSD-2-Clause-Patent
// Notification of a protocol's installation, shared in source by both
// drivers (each image gets its own copy; neither links the other).
#ifndef COMMON_PROTOCOL_NOTIFY_H_
#define COMMON_PROTOCOL_NOTIFY_H_

#include <ServiceLibPkg/Uefi/UefiTables.h>

// Creates a notify-signal event at TPL_CALLBACK and registers it for
// Protocol. Returns the first error, else EFI_SUCCESS; the event, once
// created, is also handed back in *EventOut when the caller asks for it
// (to signal it itself). Kept out of line, meant to share one copy between
// ServiceLib's two notifications; measured, it saves nothing: inlined,
// ServiceLib's code is 32 bytes and WdtControl's 4 bytes smaller.
// docs/stack.md, "Out-of-line helpers".
[[gnu::noinline]] static EFI_STATUS RegisterProtocolNotification (IN EFI_BOOT_SERVICES *BootServices,
                                                                  IN EFI_GUID *Protocol,
                                                                  IN EFI_EVENT_NOTIFY NotifyFunction,
                                                                  OUT VOID **Registration,
                                                                  OUT EFI_EVENT *EventOut = nullptr)
{
  EFI_EVENT  Event  = nullptr;
  EFI_STATUS Status = BootServices->CreateEvent (EVT_NOTIFY_SIGNAL, TPL_CALLBACK, NotifyFunction, nullptr, &Event);
  if (EFI_ERROR (Status)) {
    return Status;
  }
  if (EventOut != nullptr) {
    *EventOut = Event;
  }
  Status = BootServices->RegisterProtocolNotify (Protocol, Event, Registration);
  return EFI_ERROR (Status) ? Status : EFI_SUCCESS;
}

#endif
