// The driver's RS-485 mode under an RTS-toggle DCB. No pseudo-terminal has the mode, so this
// binary answers the two RS-485 requests of ioctl itself for the one terminal a test names, as a
// UART driver with the mode would, and passes every other call to the system.
#include "posix/commstate.h"
#include "test_posix_serial.h"

#include <dlfcn.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cstdarg>
#include <mutex>

namespace {

// The RS-485 settings of the emulated driver: the board's, as a device tree would give them.
struct TRs485Driver {
    std::mutex Lock;
    dev_t Device = 0; // 0: no terminal has the mode
    serial_rs485 Settings{};
};

TRs485Driver& Driver() {
    static TRs485Driver Instance;
    return Instance;
}

bool Emulated(int Fd) {
    struct stat Status {};
    std::lock_guard Lock(Driver().Lock);
    return Driver().Device != 0 && ::fstat(Fd, &Status) == 0 && Status.st_rdev == Driver().Device;
}

} // namespace

extern "C" int ioctl(int Fd, unsigned long Request, ...) noexcept {
    va_list Args;
    va_start(Args, Request);
    void* Argument = va_arg(Args, void*);
    va_end(Args);
    if ((Request == TIOCGRS485 || Request == TIOCSRS485) && Emulated(Fd)) {
        std::lock_guard Lock(Driver().Lock);
        auto* Settings = static_cast<serial_rs485*>(Argument);
        if (Request == TIOCGRS485) {
            *Settings = Driver().Settings;
        } else {
            Driver().Settings = *Settings;
        }
        return 0;
    }
    using TIoctl = int (*)(int, unsigned long, ...);
    static const auto System = reinterpret_cast<TIoctl>(::dlsym(RTLD_NEXT, "ioctl"));
    return System(Fd, Request, Argument);
}

namespace {

using namespace winapi;
using lxtest::Os;

class SerialRs485 : public lxtest::SerialPort {
protected:
    // The board's settings, given to the emulated driver before the port opens.
    void SetUp() override {
        struct stat Status {};
        ASSERT_EQ(::stat(Pty.SlavePath().c_str(), &Status), 0);
        {
            std::lock_guard Lock(Driver().Lock);
            Driver().Device = Status.st_rdev;
            Driver().Settings = Board;
        }
        lxtest::SerialPort::SetUp();
    }
    void TearDown() override {
        lxtest::SerialPort::TearDown();
        std::lock_guard Lock(Driver().Lock);
        Driver().Device = 0;
    }
    static serial_rs485 DriverSettings() {
        std::lock_guard Lock(Driver().Lock);
        return Driver().Settings;
    }
    void SetToggle(bool Toggle) {
        DCB Settings = posix::DefaultDcb();
        Settings.Flags = (Settings.Flags & ~DCB_fRtsControlMask) |
                         (Toggle ? DCB_fRtsControlToggle : DCB_fRtsControlEnable);
        EXPECT_EQ(Os().SetCommState(Port, &Settings), TRUE) << "the driver switches RTS itself";
    }

    serial_rs485 Board{};
};

bool SameSettings(const serial_rs485& A, const serial_rs485& B) {
    return A.flags == B.flags && A.delay_rts_before_send == B.delay_rts_before_send &&
           A.delay_rts_after_send == B.delay_rts_after_send;
}

struct TBoard {
    const char* Name;
    std::uint32_t Flags;
};

class SerialRs485Boards : public SerialRs485, public ::testing::WithParamInterface<TBoard> {
protected:
    void SetUp() override {
        Board.flags = GetParam().Flags;
        Board.delay_rts_before_send = 2;
        Board.delay_rts_after_send = 3;
        SerialRs485::SetUp();
    }
};

// The toggle keeps the board's polarity and delays, and a close leaves the driver as it was
// found, whether its mode was off or already on.
TEST_P(SerialRs485Boards, TheToggleKeepsTheBoardsSettingsAndCloseRestoresThem) {
    SetToggle(true);
    const serial_rs485 On = DriverSettings();
    EXPECT_NE(On.flags & SER_RS485_ENABLED, 0u);
    EXPECT_EQ(On.flags & ~std::uint32_t(SER_RS485_ENABLED),
              Board.flags & ~std::uint32_t(SER_RS485_ENABLED))
        << "the board's polarity stays";
    EXPECT_EQ(On.delay_rts_before_send, 2u);
    EXPECT_EQ(On.delay_rts_after_send, 3u);

    SetToggle(false);
    EXPECT_EQ(DriverSettings().flags & SER_RS485_ENABLED, 0u);
    EXPECT_EQ(DriverSettings().delay_rts_after_send, 3u);
    SetToggle(true);

    ClosePort();
    EXPECT_TRUE(SameSettings(DriverSettings(), Board));
}

INSTANTIATE_TEST_SUITE_P(
    Boards, SerialRs485Boards,
    ::testing::Values(TBoard{"OffRtsLowOnSend", SER_RS485_RTS_AFTER_SEND},
                      TBoard{"OnAtBoot", SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND}),
    [](const ::testing::TestParamInfo<TBoard>& Info) { return Info.param.Name; });

TEST_F(SerialRs485, ABoardWithoutAPolarityGetsRtsHighWhileSending) {
    SetToggle(true);
    EXPECT_EQ(DriverSettings().flags & (SER_RS485_RTS_ON_SEND | SER_RS485_RTS_AFTER_SEND),
              std::uint32_t(SER_RS485_RTS_ON_SEND));
}

} // namespace
