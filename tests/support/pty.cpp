#include "pty.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <system_error>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace lxtest {

namespace {

[[noreturn]] void Throw(const char* What) {
    throw std::system_error(errno, std::generic_category(), What);
}

std::string LinkName(std::string_view Port) {
    std::string Name(Port);
    std::transform(Name.begin(), Name.end(), Name.begin(),
                   [](unsigned char Char) { return char(std::tolower(Char)); });
    return Name;
}

void MakeSlaveRaw(const std::string& Path) {
    const int Slave = ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (Slave < 0) {
        Throw("open pty slave");
    }
    termios Settings{};
    const bool Done = ::tcgetattr(Slave, &Settings) == 0 &&
                      (::cfmakeraw(&Settings), ::tcsetattr(Slave, TCSANOW, &Settings) == 0);
    const int Error = errno;
    ::close(Slave);
    if (!Done) {
        errno = Error;
        Throw("make pty slave raw");
    }
}

int TaskCount() {
    int Count = 0;
    if (DIR* Tasks = ::opendir("/proc/self/task")) {
        while (const dirent* Entry = ::readdir(Tasks)) {
            Count += Entry->d_name[0] != '.';
        }
        ::closedir(Tasks);
    }
    return Count;
}

} // namespace

TPtyPair::TPtyPair() {
    fMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fMaster < 0) {
        Throw("posix_openpt");
    }
    char Name[128] = {};
    if (::grantpt(fMaster) != 0 || ::unlockpt(fMaster) != 0 ||
        ::ptsname_r(fMaster, Name, sizeof(Name)) != 0) {
        const int Error = errno;
        ::close(fMaster);
        errno = Error;
        Throw("pty setup");
    }
    fSlavePath = Name;
    try {
        MakeSlaveRaw(fSlavePath);
    } catch (...) {
        ::close(fMaster);
        throw;
    }
}

TPtyPair::~TPtyPair() {
    CloseMaster();
}

void TPtyPair::Write(std::string_view Bytes) {
    while (!Bytes.empty()) {
        const ssize_t Put = ::write(fMaster, Bytes.data(), Bytes.size());
        if (Put > 0) {
            Bytes.remove_prefix(std::size_t(Put));
            continue;
        }
        if (Put < 0 && errno != EAGAIN && errno != EINTR) {
            Throw("write pty master");
        }
        pollfd Ready{fMaster, POLLOUT, 0};
        ::poll(&Ready, 1, 100);
    }
}

std::string TPtyPair::Read(std::size_t Count, std::chrono::milliseconds Timeout) {
    std::string Got;
    const auto Deadline = std::chrono::steady_clock::now() + Timeout;
    while (Got.size() < Count) {
        const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
            Deadline - std::chrono::steady_clock::now());
        pollfd Ready{fMaster, POLLIN, 0};
        if (Left.count() <= 0 || ::poll(&Ready, 1, int(Left.count())) <= 0) {
            break;
        }
        char Buffer[4096];
        const ssize_t Taken = ::read(fMaster, Buffer, std::min(sizeof(Buffer), Count - Got.size()));
        if (Taken > 0) {
            Got.append(Buffer, std::size_t(Taken));
        } else if (Taken == 0 || (errno != EAGAIN && errno != EINTR)) {
            break; // the slave side is closed
        }
    }
    return Got;
}

void TPtyPair::CloseMaster() {
    if (fMaster >= 0) {
        ::close(fMaster);
        fMaster = -1;
    }
}

TPortFolder::TPortFolder()
    : fSaved{{"LXCOMM_PORT_DIR", false, {}},
             {"LXCOMM_REGISTRY_DIR", false, {}},
             {"LXCOMM_SYSFS_ROOT", false, {}}} {
    std::string Template = std::filesystem::temp_directory_path().string() + "/lxtest-XXXXXX";
    if (::mkdtemp(Template.data()) == nullptr) {
        Throw("mkdtemp");
    }
    fRoot = Template;
    std::filesystem::create_directory(PortDir());
    std::filesystem::create_directory(RegistryDir());
    std::filesystem::create_directory(SysfsDir());
    for (TSaved& Saved : fSaved) {
        if (const char* Value = std::getenv(Saved.Name)) {
            Saved.Set = true;
            Saved.Value = Value;
        }
    }
    ::setenv(fSaved[0].Name, PortDir().c_str(), 1);
    ::setenv(fSaved[1].Name, RegistryDir().c_str(), 1);
    ::setenv(fSaved[2].Name, SysfsDir().c_str(), 1);
}

TPortFolder::~TPortFolder() {
    for (const TSaved& Saved : fSaved) {
        if (Saved.Set) {
            ::setenv(Saved.Name, Saved.Value.c_str(), 1);
        } else {
            ::unsetenv(Saved.Name);
        }
    }
    std::error_code Ignored;
    std::filesystem::remove_all(fRoot, Ignored);
}

void TPortFolder::Link(std::string_view Port, const std::string& Device) const {
    const std::string Path = PortDir() + "/" + LinkName(Port);
    if (::symlink(Device.c_str(), Path.c_str()) != 0) {
        Throw("symlink");
    }
}

void TPortFolder::Unlink(std::string_view Port) const {
    ::unlink((PortDir() + "/" + LinkName(Port)).c_str());
}

int ThreadCount() {
    // A thread that has said it is done still has its way out of the kernel to go: the count
    // is taken once it has held for a while.
    constexpr auto Steady = std::chrono::milliseconds(50);
    const auto GiveUp = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    int Count = TaskCount();
    while (std::chrono::steady_clock::now() < GiveUp) {
        std::this_thread::sleep_for(Steady);
        const int Now = TaskCount();
        if (Now == Count) {
            break;
        }
        Count = Now;
    }
    return Count;
}

} // namespace lxtest
