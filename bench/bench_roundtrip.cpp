// bench-roundtrip: what the serial component costs on the panel's exchange. The panel sends the
// 8-byte request of the three-phase voltage block and reads the 59-byte reply, four times a
// refresh. Each way below has a pseudo-terminal pair of its own, unpaced, whose master side the
// same small responder answers at once:
//   component  TlxComm set up as the panel sets it up: SendData, then Read of the 59 bytes; once
//              with the panel's RS-485 mode (the component's own RTS switching on a line whose
//              driver cannot switch it), once with RS-485 off;
//   libmodbus  modbus_read_input_registers, an independent Modbus master;
//   raw        write, then poll and read on the descriptor: the floor.
// And the receive path: from the peer's write until OnAfterReceive is entered (event thread,
// message thread, read, dispatch), against a thread that polls and reads the descriptor itself.
// The ways take turns in blocks, so that the machine's other work weighs on all of them alike.
//
// RTS turnaround of the panel's software RS-485: from the moment the peer has the request's last
// byte until the component lowers RTS (a pseudo-terminal has no RTS line: the component's trace
// of the RTS change marks it).
//
// Wake-ups: the voluntary context switches of all the process's threads (the responders'
// included) per exchange, at the panel's pace (an exchange every few milliseconds, so that every
// thread has gone to sleep again before the next one). On a loaded machine this is the figure to
// trust: each wake-up costs tens of microseconds, and it does not depend on how busy the cores are.
#include "UnitTypesPX4610.h"
#include "UnitUtils.h"
#include "lxcomm.h"

#include <QCoreApplication>
#include <modbus.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <string_view>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using TClock = std::chrono::steady_clock;

constexpr int Blocks = 20;
constexpr int BlockWarmUpRuns = 10;
constexpr int BlockRuns = BlockWarmUpRuns + 100;
constexpr int MeasuredRuns = Blocks * (BlockRuns - BlockWarmUpRuns);
constexpr int RegisterCount = 27;
constexpr std::size_t ReplySize = 59;

double Median(std::vector<double> Samples) {
    std::nth_element(Samples.begin(), Samples.begin() + std::ptrdiff_t(Samples.size() / 2),
                     Samples.end());
    return Samples[Samples.size() / 2];
}

[[noreturn]] void Fail(const std::string& What) {
    throw std::runtime_error(What + ": " + std::to_string(errno));
}

void WriteAll(int Fd, const std::uint8_t* Bytes, std::size_t Count) {
    while (Count > 0) {
        const ssize_t Written = ::write(Fd, Bytes, Count);
        if (Written < 0 && errno == EINTR) {
            continue;
        }
        if (Written < 0 && errno == EAGAIN) {
            pollfd Ready{Fd, POLLOUT, 0};
            ::poll(&Ready, 1, -1);
            continue;
        }
        if (Written <= 0) {
            Fail("write");
        }
        Bytes += Written;
        Count -= std::size_t(Written);
    }
}

void ReadAll(int Fd, std::uint8_t* Bytes, std::size_t Count) {
    while (Count > 0) {
        pollfd Ready{Fd, POLLIN, 0};
        if (::poll(&Ready, 1, -1) < 0 && errno != EINTR) {
            Fail("poll");
        }
        const ssize_t Read = ::read(Fd, Bytes, Count);
        if (Read < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (Read <= 0) {
            Fail("read");
        }
        Bytes += Read;
        Count -= std::size_t(Read);
    }
}

// The request of the voltage block and a reply that a correct slave 1 gives to it.
struct TExchange {
    TRequestFrame Request;
    std::vector<std::uint8_t> Reply;

    TExchange() {
        const TCommandRequest Command = *CommandRequest(TCommandType::ctU3AC);
        Request = BuildRequestFrame(Command.Slave, Command.Function, Command.FirstRegister,
                                    Command.RegisterCount);
        Reply = {Command.Slave, Command.Function, std::uint8_t(2 * RegisterCount)};
        for (int Register = 0; Register < RegisterCount; ++Register) {
            Reply.push_back(std::uint8_t(0x10 + Register));
            Reply.push_back(std::uint8_t(0x80 + Register));
        }
        const std::uint16_t Crc = CalcCRC16(Reply, 0, std::int32_t(Reply.size()) - 1);
        Reply.push_back(std::uint8_t(Crc & 0xFF));
        Reply.push_back(std::uint8_t(Crc >> 8));
    }
};

// A temporary tree for the library's folders (ports, sysfs, registry), for the program's life.
class TPortFolder {
public:
    TPortFolder() {
        char Template[] = "/tmp/bench-roundtrip-XXXXXX";
        if (::mkdtemp(Template) == nullptr) {
            Fail("mkdtemp");
        }
        fRoot = Template;
        for (const char* Folder : {"ports", "sys", "registry"}) {
            fs::create_directories(fRoot / Folder);
        }
        ::setenv("LXCOMM_PORT_DIR", (fRoot / "ports").c_str(), 1);
        ::setenv("LXCOMM_SYSFS_ROOT", (fRoot / "sys").c_str(), 1);
        ::setenv("LXCOMM_REGISTRY_DIR", (fRoot / "registry").c_str(), 1);
    }
    ~TPortFolder() {
        std::error_code Ignored;
        fs::remove_all(fRoot, Ignored);
    }
    TPortFolder(const TPortFolder&) = delete;
    TPortFolder& operator=(const TPortFolder&) = delete;

    // Makes Device the port COM<Number>.
    void Link(int Number, const std::string& Device) const {
        fs::create_symlink(Device, fRoot / "ports" / ("com" + std::to_string(Number)));
    }

private:
    fs::path fRoot;
};

// A pseudo-terminal pair with a raw slave side.
class TLine {
public:
    TLine() {
        fMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (fMaster < 0 || ::grantpt(fMaster) != 0 || ::unlockpt(fMaster) != 0) {
            Fail("posix_openpt");
        }
        fSlavePath = ::ptsname(fMaster);
        ::close(OpenSlave());
    }
    ~TLine() { ::close(fMaster); }
    TLine(const TLine&) = delete;
    TLine& operator=(const TLine&) = delete;

    int Master() const { return fMaster; }
    const std::string& SlavePath() const { return fSlavePath; }
    // The slave side, raw and non-blocking, as a program of its own would open it.
    int OpenSlave() const {
        const int Slave = ::open(fSlavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios Settings{};
        if (Slave < 0 || ::tcgetattr(Slave, &Settings) != 0) {
            Fail("open " + fSlavePath);
        }
        ::cfmakeraw(&Settings);
        ::tcsetattr(Slave, TCSANOW, &Settings);
        return Slave;
    }

private:
    int fMaster = -1;
    std::string fSlavePath;
};

// Answers every 8-byte request on the master side with the reply, at once.
class TResponder {
public:
    TResponder(int Fd, const TExchange& Exchange) : fFd(Fd), fExchange(Exchange) {
        fThread = std::thread([this] { Serve(); });
    }
    ~TResponder() {
        fStop = true;
        fThread.join();
    }
    TResponder(const TResponder&) = delete;
    TResponder& operator=(const TResponder&) = delete;

private:
    void Serve() {
        std::vector<std::uint8_t> Pending;
        std::uint8_t Buffer[256];
        while (!fStop) {
            pollfd Ready{fFd, POLLIN, 0};
            if (::poll(&Ready, 1, 50) <= 0) {
                continue;
            }
            const ssize_t Read = ::read(fFd, Buffer, sizeof(Buffer));
            if (Read <= 0) {
                continue;
            }
            Pending.insert(Pending.end(), Buffer, Buffer + Read);
            while (Pending.size() >= fExchange.Request.size()) {
                Pending.erase(Pending.begin(),
                              Pending.begin() + std::ptrdiff_t(fExchange.Request.size()));
                WriteAll(fFd, fExchange.Reply.data(), fExchange.Reply.size());
            }
        }
    }

    int fFd;
    const TExchange& fExchange;
    std::atomic<bool> fStop = false;
    std::thread fThread;
};

// The panel's component on COM<Port>: 9600 baud 8N1, RS-485 direction control, no time-outs,
// events processed on the message thread. A pseudo-terminal cannot switch RTS by itself, so
// RS-485 is the component's own (RTS raised before each send, lowered on the transmit-empty
// event), as with the many USB adapters whose drivers cannot either; PlainLine leaves RS-485 off.
void SetUpAsThePanel(TlxComm& Comm, int Port, bool PlainLine = false) {
    Comm.SetComPortNo(quint16(Port));
    Comm.SetBaudRate(9600);
    Comm.SetByteSize(8);
    Comm.SetParity(pNone);
    Comm.SetStopBits(sbOne);
    Comm.SetStreamProtocol(spHardware);
    Comm.SetBufferInSize(1024);
    Comm.SetBufferOutSize(1024);
    Comm.SetTimeoutRead(0);
    Comm.SetTimeoutWrite(0);
    Comm.SetRS485Mode(!PlainLine);
    Comm.SetUseMainThread(false);
    Comm.SetActive(true);
    if (!Comm.Active()) {
        throw std::runtime_error("the component cannot open COM" + std::to_string(Port));
    }
}

// One exchange through a component: the panel's SendData, then Read of the whole reply.
struct TComponentExchange {
    TComponentExchange(const TPortFolder& Folder, const TExchange& AExchange, int Port,
                       bool PlainLine)
        : Exchange(AExchange), Peer(Line.Master(), AExchange), Reply(ReplySize) {
        Folder.Link(Port, Line.SlavePath());
        SetUpAsThePanel(Comm, Port, PlainLine);
    }
    void Run() {
        Comm.SendData(reinterpret_cast<const char*>(Exchange.Request.data()),
                      quint32(Exchange.Request.size()));
        Comm.Read(Reply.data(), quint32(Reply.size()));
    }

    const TExchange& Exchange;
    const TLine Line;
    const TResponder Peer;
    TlxComm Comm;
    std::vector<std::uint8_t> Reply;
};

// One way of doing something, timed run by run.
struct TContender {
    const char* Name;
    std::function<void()> Run;
    std::vector<double> Samples;
};

// Runs the contenders in turn, a block of runs each, so that whatever else the machine does over
// the seconds of the measurement weighs on all of them alike; returns their medians in
// microseconds. A block's first runs are not counted: they may still meet the trailing work of the
// previous contender (the component's event processing), which is not theirs to pay.
std::vector<double> MedianMicroseconds(std::vector<TContender>& Contenders,
                                       const std::function<double(TContender&)>& Time) {
    for (int Block = 0; Block < Blocks; ++Block) {
        for (TContender& Contender : Contenders) {
            for (int Run = 0; Run < BlockRuns; ++Run) {
                const double Microseconds = Time(Contender);
                if (Run >= BlockWarmUpRuns) {
                    Contender.Samples.push_back(Microseconds);
                }
            }
        }
    }
    std::vector<double> Medians;
    for (TContender& Contender : Contenders) {
        Medians.push_back(Median(std::move(Contender.Samples)));
    }
    return Medians;
}

// The voluntary context switches of every thread of the process so far.
long long VoluntarySwitches() {
    long long Total = 0;
    for (const fs::directory_entry& Task : fs::directory_iterator("/proc/self/task")) {
        std::ifstream Status(Task.path() / "status");
        std::string Line;
        while (std::getline(Status, Line)) {
            constexpr std::string_view Key = "voluntary_ctxt_switches:";
            if (Line.compare(0, Key.size(), Key) == 0) {
                Total += std::atoll(Line.c_str() + Key.size());
            }
        }
    }
    return Total;
}

constexpr int PacedRounds = 15;
constexpr int PacedRuns = 60;
constexpr auto PanelPace = std::chrono::milliseconds(3);

// Wake-ups per exchange at the panel's pace, median of the rounds, for each contender.
std::vector<double> WakeupsPerExchange(std::vector<TContender>& Contenders) {
    std::vector<std::vector<double>> Rounds(Contenders.size());
    for (int Round = 0; Round < PacedRounds; ++Round) {
        for (std::size_t Index = 0; Index < Contenders.size(); ++Index) {
            // Settle: the previous contender's trailing work is not this one's.
            std::this_thread::sleep_for(PanelPace);
            const long long Before = VoluntarySwitches();
            for (int Run = 0; Run < PacedRuns; ++Run) {
                Contenders[Index].Run();
                std::this_thread::sleep_for(PanelPace);
            }
            // The pacing sleep is the panel's own, not the exchange's: one per run.
            const long long Switches = VoluntarySwitches() - Before - PacedRuns;
            Rounds[Index].push_back(double(Switches) / PacedRuns);
        }
    }
    std::vector<double> Medians;
    for (std::vector<double>& Samples : Rounds) {
        Medians.push_back(Median(std::move(Samples)));
    }
    return Medians;
}

double Elapsed(TClock::time_point Start, TClock::time_point End) {
    return std::chrono::duration<double, std::micro>(End - Start).count();
}

struct TRoundTrips {
    std::vector<double> Microseconds;
    std::vector<double> Wakeups;
};

// The ways of one exchange, each on its own line with its own responder.
TRoundTrips RoundTrips(const TPortFolder& Folder, const TExchange& Exchange) {
    TComponentExchange Panel(Folder, Exchange, 7, false);
    TComponentExchange Plain(Folder, Exchange, 9, true);

    const TLine LibmodbusLine, RawLine;
    const TResponder LibmodbusPeer(LibmodbusLine.Master(), Exchange);
    const TResponder RawPeer(RawLine.Master(), Exchange);
    modbus_t* Context = modbus_new_rtu(LibmodbusLine.SlavePath().c_str(), 9600, 'N', 8, 1);
    if (Context == nullptr || modbus_connect(Context) != 0) {
        Fail("libmodbus cannot open " + LibmodbusLine.SlavePath());
    }
    modbus_set_slave(Context, 1);
    modbus_set_response_timeout(Context, 1, 0);
    std::uint16_t Registers[RegisterCount] = {};
    int LibmodbusFailures = 0;

    const int Slave = RawLine.OpenSlave();
    std::vector<std::uint8_t> RawReply(ReplySize);

    std::vector<TContender> Contenders{
        {"component, panel settings", [&] { Panel.Run(); }, {}},
        {"component, RS-485 off", [&] { Plain.Run(); }, {}},
        {"libmodbus read registers",
         [&] {
             if (modbus_read_input_registers(Context, 20, RegisterCount, Registers) !=
                 RegisterCount) {
                 ++LibmodbusFailures;
             }
         },
         {}},
        {"raw write + poll/read",
         [&] {
             WriteAll(Slave, Exchange.Request.data(), Exchange.Request.size());
             ReadAll(Slave, RawReply.data(), RawReply.size());
         },
         {}},
    };
    TRoundTrips Result;
    Result.Microseconds = MedianMicroseconds(Contenders, [](TContender& Contender) {
        const TClock::time_point Start = TClock::now();
        Contender.Run();
        return Elapsed(Start, TClock::now());
    });
    Result.Wakeups = WakeupsPerExchange(Contenders);
    ::close(Slave);
    modbus_close(Context);
    modbus_free(Context);
    if (Panel.Reply != Exchange.Reply || Plain.Reply != Exchange.Reply ||
        RawReply != Exchange.Reply || LibmodbusFailures > 0) {
        throw std::runtime_error("a round trip brought back another reply");
    }
    return Result;
}

// Where a receiver notes when it got the first bytes of a block and how many have come.
class TArrivals {
public:
    void Arrived(std::size_t Count) {
        const TClock::time_point Now = TClock::now();
        std::lock_guard Lock(fMutex);
        if (fReceived == 0) {
            fFirst = Now;
        }
        fReceived += Count;
        fChanged.notify_all();
    }
    // Waits for the whole block; returns when its first bytes arrived.
    TClock::time_point WaitForBlock(std::size_t Count) {
        std::unique_lock Lock(fMutex);
        if (!fChanged.wait_for(Lock, std::chrono::seconds(5), [&] { return fReceived >= Count; })) {
            throw std::runtime_error("a block did not arrive");
        }
        fReceived = 0;
        return fFirst;
    }

private:
    std::mutex fMutex;
    std::condition_variable fChanged;
    std::size_t fReceived = 0;
    TClock::time_point fFirst;
};

class TReceiver : public QObject {
public:
    explicit TReceiver(TArrivals& Arrivals) : fArrivals(Arrivals) {}
    void AfterReceive(QObject*, const void*, quint32 Received) { fArrivals.Arrived(Received); }

private:
    TArrivals& fArrivals;
};

// A thread that polls and reads the slave side itself.
class TRawReader {
public:
    TRawReader(const TLine& Line, TArrivals& Arrivals) : fSlave(Line.OpenSlave()) {
        fThread = std::thread([this, &Arrivals] {
            std::uint8_t Buffer[256];
            while (!fStop) {
                pollfd Ready{fSlave, POLLIN, 0};
                if (::poll(&Ready, 1, 50) <= 0) {
                    continue;
                }
                const ssize_t Read = ::read(fSlave, Buffer, sizeof(Buffer));
                if (Read > 0) {
                    Arrivals.Arrived(std::size_t(Read));
                }
            }
        });
    }
    ~TRawReader() {
        fStop = true;
        fThread.join();
        ::close(fSlave);
    }
    TRawReader(const TRawReader&) = delete;
    TRawReader& operator=(const TRawReader&) = delete;

private:
    int fSlave;
    std::atomic<bool> fStop = false;
    std::thread fThread;
};

// From the peer's write until the receiver has the reply's first bytes: the component's
// OnAfterReceive against a raw poll loop, each on its own line.
std::vector<double> Receipts(const TPortFolder& Folder, const TExchange& Exchange) {
    const TLine ComponentLine, RawLine;
    constexpr int ComponentPort = 8;
    Folder.Link(ComponentPort, ComponentLine.SlavePath());
    TArrivals ComponentArrivals, RawArrivals;
    TReceiver Receiver(ComponentArrivals);
    TlxComm Comm;
    Comm.SetOnAfterReceive(TOnReceived::Bind<&TReceiver::AfterReceive>(&Receiver));
    SetUpAsThePanel(Comm, ComponentPort);
    const TRawReader Reader(RawLine, RawArrivals);

    struct TPeer {
        int Master;
        TArrivals& Arrivals;
    };
    TPeer Peers[] = {{ComponentLine.Master(), ComponentArrivals}, {RawLine.Master(), RawArrivals}};
    std::vector<TContender> Contenders{{"component OnAfterReceive", {}, {}},
                                       {"raw poll loop", {}, {}}};
    return MedianMicroseconds(Contenders, [&](TContender& Contender) {
        const TPeer& Peer = Peers[&Contender - Contenders.data()];
        const TClock::time_point Start = TClock::now();
        WriteAll(Peer.Master, Exchange.Reply.data(), Exchange.Reply.size());
        return Elapsed(Start, Peer.Arrivals.WaitForBlock(Exchange.Reply.size()));
    });
}

// When the peer got a whole request, and when the component lowered RTS after it.
class TTurnaround : public QObject {
public:
    void Traced(QObject*, TTraceStates Event) {
        // RTS goes up on the sending thread and down on the thread that processes events.
        if (Event.Contains(tsCTS) && std::this_thread::get_id() != fSender) {
            Note(fLowered);
        }
    }
    void Received() { Note(fReceived); }
    // Waits for both moments of one request; the microseconds between them.
    double WaitForExchange() {
        std::unique_lock Lock(fMutex);
        if (!fChanged.wait_for(Lock, std::chrono::seconds(5),
                               [&] { return fLowered && fReceived; })) {
            throw std::runtime_error("RTS did not go low after a request");
        }
        const double Microseconds = Elapsed(*fReceived, *fLowered);
        fLowered.reset();
        fReceived.reset();
        return Microseconds;
    }

private:
    void Note(std::optional<TClock::time_point>& When) {
        const TClock::time_point Now = TClock::now();
        std::lock_guard Lock(fMutex);
        When = Now;
        fChanged.notify_all();
    }

    const std::thread::id fSender = std::this_thread::get_id();
    std::mutex fMutex;
    std::condition_variable fChanged;
    std::optional<TClock::time_point> fLowered, fReceived;
};

constexpr int TurnaroundRuns = 400;

// Median, 99th percentile and largest RTS turnaround, in microseconds.
std::vector<double> RtsTurnaround(const TPortFolder& Folder, const TExchange& Exchange) {
    const TLine Line;
    constexpr int Port = 10;
    Folder.Link(Port, Line.SlavePath());
    TTurnaround Turnaround;
    TlxComm Comm;
    Comm.SetOnTraceState(TOnTraceEvent::Bind<&TTurnaround::Traced>(&Turnaround));
    SetUpAsThePanel(Comm, Port);
    std::atomic<bool> Stop = false;
    std::thread Peer([&] {
        std::vector<std::uint8_t> Request(Exchange.Request.size());
        while (!Stop) {
            pollfd Ready{Line.Master(), POLLIN, 0};
            if (::poll(&Ready, 1, 50) > 0) {
                ReadAll(Line.Master(), Request.data(), Request.size());
                Turnaround.Received();
            }
        }
    });
    std::vector<double> Samples;
    for (int Run = 0; Run < TurnaroundRuns; ++Run) {
        Comm.SendData(reinterpret_cast<const char*>(Exchange.Request.data()),
                      quint32(Exchange.Request.size()));
        Samples.push_back(Turnaround.WaitForExchange());
        std::this_thread::sleep_for(PanelPace);
    }
    Stop = true;
    Peer.join();
    std::sort(Samples.begin(), Samples.end());
    return {Samples[Samples.size() / 2], Samples[Samples.size() * 99 / 100], Samples.back()};
}

} // namespace

int main(int argc, char** argv) {
    try {
        // The panel runs with an application object; the component looks for one.
        QCoreApplication App(argc, argv);
        const TPortFolder Folder;
        const TExchange Exchange;
        const TRoundTrips Trips = RoundTrips(Folder, Exchange);
        const std::vector<double> Receipt = Receipts(Folder, Exchange);
        const std::vector<double> Rts = RtsTurnaround(Folder, Exchange);
        const std::vector<double>& Trip = Trips.Microseconds;
        const std::vector<double>& Wakeups = Trips.Wakeups;
        const double Panel = Trip[0], Plain = Trip[1], Libmodbus = Trip[2], Raw = Trip[3];

        std::printf("Round trip of the 8-byte request and the 59-byte reply, median of %d runs "
                    "each, taken in turns:\n",
                    MeasuredRuns);
        std::printf("  component SendData + Read, panel settings  %8.1f us\n", Panel);
        std::printf("  component SendData + Read, RS-485 off      %8.1f us\n", Plain);
        std::printf("  libmodbus read input registers             %8.1f us\n", Libmodbus);
        std::printf("  raw write, poll and read                   %8.1f us\n", Raw);
        std::printf(
            "Receive path, from the peer's write until the receiver has the first bytes:\n");
        std::printf("  component OnAfterReceive                   %8.1f us\n", Receipt[0]);
        std::printf("  raw poll loop                              %8.1f us\n", Receipt[1]);
        std::printf("Wake-ups (voluntary context switches of all threads, responder included) "
                    "per exchange, one every %lld ms, median of %d rounds of %d:\n",
                    static_cast<long long>(PanelPace.count()), PacedRounds, PacedRuns);
        std::printf("  component, panel settings                  %8.2f\n", Wakeups[0]);
        std::printf("  component, RS-485 off                      %8.2f\n", Wakeups[1]);
        std::printf("  libmodbus read input registers             %8.2f\n", Wakeups[2]);
        std::printf("  raw write, poll and read                   %8.2f\n", Wakeups[3]);
        std::printf("RTS turnaround of software RS-485, from the peer's receipt of the request "
                    "until RTS is lowered, %d requests:\n",
                    TurnaroundRuns);
        std::printf("  median %.1f us, p99 %.1f us, max %.1f us\n", Rts[0], Rts[1], Rts[2]);
        std::printf("metric roundtrip_ratio_vs_raw %.3f\n", Panel / Raw);
        std::printf("metric roundtrip_ratio_vs_libmodbus %.3f\n", Panel / Libmodbus);
        std::printf("metric roundtrip_rs485_off_ratio_vs_raw %.3f\n", Plain / Raw);
        std::printf("metric roundtrip_rs485_off_ratio_vs_libmodbus %.3f\n", Plain / Libmodbus);
        std::printf("metric wakeups_per_exchange %.2f\n", Wakeups[0]);
        std::printf("metric wakeups_per_exchange_rs485_off %.2f\n", Wakeups[1]);
        std::printf("metric receive_latency_us %.1f\n", Receipt[0]);
        std::printf("metric receive_ratio_vs_raw %.3f\n", Receipt[0] / Receipt[1]);
        std::printf("metric rts_turnaround_median_us %.1f\n", Rts[0]);
        std::printf("metric rts_turnaround_p99_us %.1f\n", Rts[1]);
        std::printf("metric rts_turnaround_max_us %.1f\n", Rts[2]);
        return 0;
    } catch (const std::exception& Error) {
        std::fprintf(stderr, "bench-roundtrip: %s\n", Error.what());
        return 1;
    }
}
