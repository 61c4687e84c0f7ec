// The port configuration dialog for systems that have none of their own (Linux): the line
// settings of one port (baud rate, data bits, parity, stop bits, flow control) with OK and
// Cancel, installed as the OS boundary's CommConfigDialogW. An application calls
// LxInstallCommConfigDialog once at start; on Windows the system's own dialog is shown instead.
#pragma once

#include "winapi.h"

#include <QDialog>
#include <QString>

class QComboBox;

// Flow control as the dialog offers it. Each choice stands for the DCB mode bits the serial
// component itself writes for it, so that a confirmed choice reads back as the same protocol.
enum TlxCommFlowControl { fcXonXoff, fcHardware, fcNone };

class TlxCommConfigDialog : public QDialog {
    Q_OBJECT
public:
    // Shows the settings of Dcb for the port PortName ("COM3").
    TlxCommConfigDialog(const QString& PortName, const winapi::DCB& Dcb, QWidget* Parent = nullptr);

    // Dcb with the user's choices. Flags the dialog does not show stay as they were; the flow
    // control bits change only when the user picked another flow control.
    winapi::DCB Dcb() const;

    // The flow control a DCB amounts to, tested in the component's order (XON/XOFF first).
    static TlxCommFlowControl FlowControlOf(const winapi::DCB& Dcb);

private:
    void AddBaudRates();
    void AddDataBits();
    void AddParities();
    void AddStopBits();
    void AddFlowControls();
    // Selects the item whose data is Value, adding it (shown as Text) when the list lacks it.
    static void SelectData(QComboBox& Box, int Value, const QString& Text);

    winapi::DCB fDcb;
    QComboBox* cbBaudRate = nullptr;
    QComboBox* cbDataBits = nullptr;
    QComboBox* cbParity = nullptr;
    QComboBox* cbStopBits = nullptr;
    QComboBox* cbFlowControl = nullptr;
};

// The provider behind CommConfigDialogW: shows the dialog modally on the GUI thread (a caller on
// another thread waits) and copies the DCB back into lpCC when the user confirms. Fails with
// ERROR_INVALID_PARAMETER for a missing record and ERROR_CALL_NOT_IMPLEMENTED without a
// QApplication (no widgets can be shown).
winapi::BOOL LxCommConfigDialog(winapi::LPCWSTR lpszName, winapi::HWND hWnd,
                                winapi::COMMCONFIG* lpCC);

// Makes LxCommConfigDialog the OS boundary's port configuration dialog; returns the provider it
// replaces.
winapi::PFN_CommConfigDialog LxInstallCommConfigDialog();
