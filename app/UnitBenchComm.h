// The panel's serial component: a TlxComm that can also read with a bound. The bench's replies
// have known lengths, but a source may stay silent or answer short; a read that waits for every
// byte (the port's read time-outs are all zero) would then never end. ReadWithin sets a total
// read time-out for one read and puts the stored time-outs back after it, so the port's settings
// are what they were for every other reader, and the caller waits in the system, not in a loop.
#pragma once

#include "lxcomm.h"

#include <chrono>

class TBenchComm : public TlxComm {
    Q_OBJECT
public:
    explicit TBenchComm(QObject* AOwner = nullptr);
    // The port's threads call virtual operations: they stop while this type is still whole.
    ~TBenchComm() override;

    // Reads up to Len bytes into Buffer; returns when all have come, after Within, or when the
    // port closes, with the count read. 0 at once on a closed port.
    quint32 ReadWithin(void* Buffer, quint32 Len, std::chrono::milliseconds Within);
};
