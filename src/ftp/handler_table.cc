// The handlers that components register for command codes. A code without
// one is answered "550  unknown command" by the dispatcher.
#include "ftp/handlers.h"

#include <initializer_list>

WL_CommandHandler HandlerFor(uint32_t code) {
  for (WL_CommandHandler (*lookup)(uint32_t) : {LoginHandlerFor, OperatorHandlerFor, FileHandlerFor, ProtectHandlerFor, DataHandlerFor, EconnHandlerFor,
                                                TransferHandlerFor, ListHandlerFor,
                                                TlsHandlerFor, MapHandlerFor, MailHandlerFor, BbsHandlerFor,
                                                JointHandlerFor, HashHandlerFor, DiagnosticsHandlerFor, BackupHandlerFor, FrameHandlerFor}) {
    if (WL_CommandHandler h = lookup(code)) return h;
  }
  return nullptr;
}
