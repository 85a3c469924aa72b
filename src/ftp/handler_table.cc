// The handlers that components register for command codes. A code without
// one is answered "550  unknown command" by the dispatcher.
#include "ftp/handlers.h"

WL_CommandHandler HandlerFor(uint32_t) { return nullptr; }
