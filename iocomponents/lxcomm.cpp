// TlxCustomComm: creation, destruction and the line settings.
#include "lxcomm.h"

TlxCustomComm::TlxCustomComm(QObject* AOwner) : TlxBaseIO(AOwner) {}

TlxCustomComm::~TlxCustomComm() = default;
