// The serial component against an independent peer: libmodbus as an RTU server (slave 1, the input
// registers of a three-phase block) on the master side of a pseudo-terminal, the component set up
// as the panel sets it up. The exchange of the panel's voltage request; a read that waits for every
// byte and ends when the port is closed from another thread; the line settings as the terminal
// holds them.
#include "UnitTypesPX4610.h"
#include "UnitUtils.h"
#include "eventloop.h"
#include "pty.h"
#include "testcomm.h"

#include <QElapsedTimer>
#include <atomic>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <modbus.h>
#include <mutex>
#include <stdexcept>
#include <termios.h>
#include <thread>
#include <vector>

namespace {

using lxtest::RunUntil;
using lxtest::TPortFolder;
using lxtest::TPtyPair;
using lxtest::TTestComm;
using namespace std::chrono_literals;

constexpr int WaitMs = 5000;
constexpr int FirstRegister = 20;
constexpr int RegisterCount = 27;
constexpr std::size_t ReplySize = 59;

// libmodbus serving slave 1 on a descriptor it did not open: the master side of the pair. It never
// connects, so it leaves the terminal's settings alone and only reads and writes.
class TModbusServer {
public:
    explicit TModbusServer(int Fd)
        : fContext(modbus_new_rtu("/dev/null", 9600, 'N', 8, 1)),
          fMapping(
              modbus_mapping_new_start_address(0, 0, 0, 0, 0, 0, FirstRegister, RegisterCount)) {
        if (fContext == nullptr || fMapping == nullptr) {
            throw std::runtime_error("libmodbus cannot set up a server");
        }
        modbus_set_slave(fContext, 1);
        modbus_set_socket(fContext, Fd);
        // Wakes now and then to see whether it is to stop.
        modbus_set_indication_timeout(fContext, 0, 50000);
        fThread = std::thread([this] { Serve(); });
    }
    ~TModbusServer() {
        fStop = true;
        fThread.join();
        modbus_mapping_free(fMapping);
        modbus_free(fContext);
    }

    // New register values, different for each Round.
    void SetRegisters(unsigned Round) {
        std::lock_guard Lock(fMutex);
        for (int i = 0; i < RegisterCount; ++i) {
            fMapping->tab_input_registers[i] = std::uint16_t(0x1357 * (Round + 1) + 0x0101 * i);
        }
    }
    // The reply a correct RTU server gives for the registers now held: address, function, byte
    // count, the registers high byte first, the CRC low byte first.
    std::vector<std::uint8_t> ExpectedReply() {
        std::lock_guard Lock(fMutex);
        std::vector<std::uint8_t> Reply{1, 4, std::uint8_t(2 * RegisterCount)};
        for (int i = 0; i < RegisterCount; ++i) {
            Reply.push_back(std::uint8_t(fMapping->tab_input_registers[i] >> 8));
            Reply.push_back(std::uint8_t(fMapping->tab_input_registers[i] & 0xFF));
        }
        const std::uint16_t Crc = CalcCRC16(Reply, 0, std::int32_t(Reply.size()) - 1);
        Reply.push_back(std::uint8_t(Crc & 0xFF));
        Reply.push_back(std::uint8_t(Crc >> 8));
        return Reply;
    }
    int Replies() const { return fReplies; }

private:
    void Serve() {
        std::vector<std::uint8_t> Query(MODBUS_RTU_MAX_ADU_LENGTH);
        while (!fStop) {
            const int Length = modbus_receive(fContext, Query.data());
            if (Length > 0) {
                std::lock_guard Lock(fMutex);
                modbus_reply(fContext, Query.data(), Length, fMapping);
                ++fReplies;
            }
        }
    }

    modbus_t* fContext;
    modbus_mapping_t* fMapping;
    std::mutex fMutex;
    std::atomic<bool> fStop = false;
    std::atomic<int> fReplies = 0;
    std::thread fThread;
};

class CommModbus : public ::testing::Test {
protected:
    CommModbus() {
        Folder.Link("COM5", Pty.SlavePath());
        Comm = std::make_unique<TTestComm>(nullptr, QStringLiteral("COM5"));
        // The panel's settings.
        Comm->SetBaudRate(9600);
        Comm->SetByteSize(8);
        Comm->SetParity(pNone);
        Comm->SetStopBits(sbOne);
        Comm->SetStreamProtocol(spHardware);
        Comm->SetBufferInSize(1024);
        Comm->SetBufferOutSize(1024);
        Comm->SetTimeoutRead(0);
        Comm->SetTimeoutWrite(0);
        Comm->SetRS485Mode(true);
        Comm->SetUseMainThread(false);
    }
    ~CommModbus() override { Comm.reset(); }

    void Open() {
        Comm->SetActive(true);
        ASSERT_TRUE(Comm->Active());
    }
    termios LineSettings() const {
        termios Settings{};
        // The master side reports the slave's settings.
        EXPECT_EQ(::tcgetattr(Pty.MasterFd(), &Settings), 0);
        return Settings;
    }

    TPortFolder Folder;
    TPtyPair Pty;
    std::unique_ptr<TTestComm> Comm;
};

TEST_F(CommModbus, TheVoltageRequestBringsBackExactlyTheReplyLibmodbusSent) {
    TModbusServer Server(Pty.MasterFd());
    Open();
    const TCommandRequest Request = *CommandRequest(TCommandType::ctU3AC);
    constexpr unsigned Rounds = 20;
    for (unsigned Round = 0; Round < Rounds; ++Round) {
        SCOPED_TRACE(testing::Message() << "round " << Round);
        Server.SetRegisters(Round);
        {
            // The caller's frame goes as soon as SendData returns, as in the panel.
            const TRequestFrame Frame = BuildRequestFrame(
                Request.Slave, Request.Function, Request.FirstRegister, Request.RegisterCount);
            Comm->SendData(reinterpret_cast<const char*>(Frame.data()), quint32(Frame.size()));
        }
        // The event thread counts the reply before the read takes it.
        ASSERT_TRUE(
            RunUntil([&] { return Comm->TotalReceived() >= (Round + 1) * ReplySize; }, WaitMs));
        std::vector<std::uint8_t> Reply(ReplySize);
        Comm->Read(Reply.data(), quint32(Reply.size()));
        EXPECT_EQ(Reply, Server.ExpectedReply());
    }
    EXPECT_EQ(Server.Replies(), int(Rounds));
    EXPECT_EQ(Comm->TotalSent(), Rounds * RequestFrameLength);
    EXPECT_EQ(Comm->TotalReceived(), Rounds * ReplySize);
    EXPECT_EQ(Comm->ReadyForRead(), 0u);
}

TEST_F(CommModbus, AReadWaitsForEveryByteAndEndsWhenThePortIsClosed) {
    Open();
    char Buffer[9] = {};
    std::future<void> Reader;
    // However the test ends, the port closes before the reader is waited for.
    const std::unique_ptr<TTestComm, void (*)(TTestComm*)> CloseAtEnd(
        Comm.get(), [](TTestComm* C) { C->SetActive(false); });
    Pty.Write("12345");
    ASSERT_TRUE(RunUntil([&] { return Comm->ReadyForRead() == 5; }, WaitMs));
    Reader = std::async(std::launch::async, [&] { Comm->Read(Buffer, sizeof(Buffer)); });
    EXPECT_EQ(Reader.wait_for(150ms), std::future_status::timeout);
    Pty.Write("6789");
    ASSERT_EQ(Reader.wait_for(std::chrono::milliseconds(WaitMs)), std::future_status::ready);
    EXPECT_EQ(std::string(Buffer, sizeof(Buffer)), "123456789");

    Pty.Write("abcde");
    ASSERT_TRUE(RunUntil([&] { return Comm->ReadyForRead() == 5; }, WaitMs));
    Reader = std::async(std::launch::async, [&] { Comm->Read(Buffer, sizeof(Buffer)); });
    EXPECT_EQ(Reader.wait_for(100ms), std::future_status::timeout);
    QElapsedTimer Clock;
    Clock.start();
    Comm->SetActive(false);
    EXPECT_FALSE(Comm->Active());
    ASSERT_EQ(Reader.wait_for(std::chrono::milliseconds(WaitMs)), std::future_status::ready);
    EXPECT_LT(Clock.elapsed(), 2000);
}

TEST_F(CommModbus, TheTerminalHoldsThePanelsLineSettings) {
    Open();
    termios Settings = LineSettings();
    EXPECT_EQ(::cfgetospeed(&Settings), speed_t(B9600));
    EXPECT_EQ(::cfgetispeed(&Settings), speed_t(B9600));
    EXPECT_EQ(Settings.c_cflag & CSTOPB, 0u);
    // RS-485 drives RTS for the direction: no handshake on RTS/CTS, nor XON/XOFF.
    EXPECT_EQ(Settings.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(Settings.c_iflag & (IXON | IXOFF), 0u);

    Comm->SetBaudRate(19200);
    Comm->SetStopBits(sbTwo);
    Comm->SetRS485Mode(false);
    Comm->SetStreamProtocol(spXonXoff);
    Settings = LineSettings();
    EXPECT_EQ(::cfgetospeed(&Settings), speed_t(B19200));
    EXPECT_NE(Settings.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(Settings.c_iflag & (IXON | IXOFF), tcflag_t(IXON | IXOFF));
    EXPECT_EQ(Settings.c_cc[VSTART], 17);
    EXPECT_EQ(Settings.c_cc[VSTOP], 19);

    Comm->SetStreamProtocol(spHardware);
    Settings = LineSettings();
    EXPECT_NE(Settings.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(Settings.c_iflag & (IXON | IXOFF), 0u);
}

} // namespace
