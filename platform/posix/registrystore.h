// The registry on Linux: a file-backed store for the keys that programs create and write, and the
// port list HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM, made up from the port map whenever
// it is read: one value per present port, named \Device\<node> (portmap.h) and holding "COMn".
//
// Store layout under LXCOMM_REGISTRY_DIR (default $XDG_CONFIG_HOME/lxcomm/registry):
//   MACHINE/<key>/<subkey>/...   HKEY_LOCAL_MACHINE
//   USER/<key>/<subkey>/...      HKEY_CURRENT_USER
// A key is a folder; a value is a file "@<name>" in its key's folder holding the type as four
// little-endian bytes followed by the data. Names are kept as first written and found again
// without regard to case; in file names, "%", "/", "\", "@", control characters, non-ASCII bytes
// and a leading "." are written as %XX of their UTF-8 bytes. A key or value is made under an
// flock of its parent key's folder after looking for it again, so that programs making one
// name in different cases at once make it once. A value is replaced by writing a
// temporary ".tmp-*" file, syncing it and renaming it over the old one, so a reader sees the old
// or the new value, never a mixture, even when the writer is killed; a killed writer may leave
// its temporary file behind, which readers ignore.
#pragma once

#include "handletable.h"

#include <memory>
#include <string>
#include <vector>

namespace winapi::posix {

enum class THive { Machine, User };

class TRegistryKey : public THandleObject {
public:
    TRegistryKey(THive AHive, std::vector<std::u16string> ANames, std::vector<std::string> AFolders,
                 bool ASerialComm, REGSAM AAccess)
        : Hive(AHive), Names(std::move(ANames)), Folders(std::move(AFolders)),
          SerialComm(ASerialComm), Access(AAccess) {}

    const THive Hive;
    const std::vector<std::u16string> Names; // the path below the hive, as stored
    const std::vector<std::string> Folders;  // the same path as folder names on disk
    const bool SerialComm;                   // the port list, made from the port map
    const REGSAM Access;
};

// The registry operations with their Windows results; keys are entries of Handles.
class TRegistry {
public:
    explicit TRegistry(THandleTable& Handles) : fHandles(Handles) {}

    LSTATUS OpenKey(HKEY Parent, LPCWSTR SubKey, REGSAM Access, HKEY* Result);
    LSTATUS CreateKey(HKEY Parent, LPCWSTR SubKey, REGSAM Access, HKEY* Result, DWORD* Disposition);
    LSTATUS EnumValue(HKEY Key, DWORD Index, LPWSTR Name, DWORD* NameChars, DWORD* Type, BYTE* Data,
                      DWORD* DataBytes);
    LSTATUS QueryValue(HKEY Key, LPCWSTR Name, DWORD* Type, BYTE* Data, DWORD* DataBytes);
    LSTATUS SetValue(HKEY Key, LPCWSTR Name, DWORD Type, const BYTE* Data, DWORD DataBytes);
    LSTATUS CloseKey(HKEY Key);
    // KeyNameInformation: \REGISTRY\MACHINE\<path> or \REGISTRY\USER\<sid>\<path>.
    NTSTATUS QueryKeyName(HANDLE Key, void* Information, ULONG Length, ULONG* ResultLength);

    // The user's security identifier in kernel key names: S-1-5-21-0-0-0-<uid>.
    static std::u16string UserSid();
    // LXCOMM_REGISTRY_DIR, else $XDG_CONFIG_HOME/lxcomm/registry.
    static std::string StoreFolder();

private:
    std::shared_ptr<const TRegistryKey> FindKey(HKEY Key) const;
    LSTATUS Resolve(HKEY Parent, LPCWSTR SubKey, REGSAM Access, bool Create, HKEY* Result,
                    DWORD* Disposition);

    THandleTable& fHandles;
};

} // namespace winapi::posix
