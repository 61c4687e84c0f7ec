// TlxCustomComm: open and close, the event and message threads, event processing.
#include "lxcomm.h"
