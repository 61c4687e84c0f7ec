// A small concrete serial component for tests: it opens the port named by PortName ("COM9") as the
// serial specialisation will, through OpenDeviceOverlapped, and names itself after it. The
// component's protected steps are opened up for the tests.
#pragma once

#include "lxcomm.h"
#include "lxwin32.h"

#include <QString>

namespace lxtest {

class TTestComm : public TlxCustomComm {
    Q_OBJECT
public:
    // With the line settings a new serial port component starts with (19200 baud, 8 data bits,
    // no parity, one stop bit, hardware flow control), so that the port accepts them.
    explicit TTestComm(QObject* AOwner = nullptr, const QString& APortName = QString())
        : TlxCustomComm(AOwner), PortName(APortName) {
        SetBaudRate(19200);
        SetParity(pNone);
        SetStopBits(sbOne);
        SetByteSize(8);
        SetEventChar(0);
        SetStreamProtocol(spHardware);
    }

    // The threads reach GetComName: they are stopped while this part is whole.
    ~TTestComm() override { DestroyComm(); }

    // The port CreateHandle opens; change it only while the port is closed.
    QString PortName;

    QString GetComName() const override { return PortName; }
    int GetDeviceIndex() const override { return -1; }

    using TlxCustomComm::ApplyDCB;
    using TlxCustomComm::ApplyPortSettings;
    using TlxCustomComm::ApplyTimeouts;
    using TlxCustomComm::CommCfg;
    using TlxCustomComm::DoClose;
    using TlxCustomComm::DoCommError;
    using TlxCustomComm::DoFatalError;
    using TlxCustomComm::DoOpen;
    using TlxCustomComm::EventMask;
    using TlxCustomComm::IsSoftwareRS485;
    using TlxCustomComm::ReadPortConfig;
    using TlxCustomComm::ReceiveBufferSize;
    using TlxCustomComm::StartThreadIO;
    using TlxCustomComm::StopThreadIO;

protected:
    winapi::HANDLE CreateHandle() override {
        return lx::OpenDeviceOverlapped(PortName.toStdU16String());
    }
    void DeviceListLoad() override {}
};

} // namespace lxtest
