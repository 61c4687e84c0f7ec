// Real pseudo-terminals and a private port folder for tests of the native backend and everything
// above it.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace lxtest {

// A pseudo-terminal pair. The test keeps the master side; the slave device (/dev/pts/N) is what
// the code under test opens as a port. The slave starts raw, so nothing is echoed or translated
// even before the code under test sets it up.
class TPtyPair {
public:
    TPtyPair(); // throws std::system_error
    ~TPtyPair();
    TPtyPair(const TPtyPair&) = delete;
    TPtyPair& operator=(const TPtyPair&) = delete;

    const std::string& SlavePath() const { return fSlavePath; }
    int MasterFd() const { return fMaster; }

    // Writes every byte to the master side; throws when it cannot.
    void Write(std::string_view Bytes);
    // Reads from the master side until Count bytes have come, Timeout has passed or the slave
    // side has gone.
    std::string Read(std::size_t Count,
                     std::chrono::milliseconds Timeout = std::chrono::seconds(5));
    // Hangs up the line as seen from the slave side: its reads and writes then fail.
    void CloseMaster();

private:
    int fMaster = -1;
    std::string fSlavePath;
};

// A fresh temporary folder holding ports/, registry/ and sys/, set as LXCOMM_PORT_DIR,
// LXCOMM_REGISTRY_DIR and LXCOMM_SYSFS_ROOT while the object lives; the variables' former values
// come back and the folder is removed afterwards. sys/ starts empty, so that the machine's own
// serial devices do not join the port list; a test may build a device tree there. Make it
// before starting threads that read the environment.
class TPortFolder {
public:
    TPortFolder(); // throws std::system_error
    ~TPortFolder();
    TPortFolder(const TPortFolder&) = delete;
    TPortFolder& operator=(const TPortFolder&) = delete;

    const std::string& Root() const { return fRoot; }
    std::string PortDir() const { return fRoot + "/ports"; }
    std::string RegistryDir() const { return fRoot + "/registry"; }
    std::string SysfsDir() const { return fRoot + "/sys"; }

    // Makes Device the port Port ("COM9"): a link named "com9" pointing at Device.
    void Link(std::string_view Port, const std::string& Device) const;
    void Unlink(std::string_view Port) const;

private:
    struct TSaved {
        const char* Name;
        bool Set;
        std::string Value;
    };

    std::string fRoot;
    TSaved fSaved[3];
};

// The threads of this process, to show that a component leaves none behind; counted once the
// number has stopped changing, so that threads on their way out are not counted.
int ThreadCount();

} // namespace lxtest
