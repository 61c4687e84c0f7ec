// The registry store's folders hold whatever was put there, by this program or by hand. Any
// file and folder name and any value file are listed or passed over without harm, every value
// listed can be read back under its name, and any value name written is found again with its
// data.
#include "posixapi.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace winapi;

std::string Store;

// A file name made of the input's bytes: anything but "/" and NUL, at most 200 bytes.
std::string FileName(std::string Bytes) {
    std::replace(Bytes.begin(), Bytes.end(), '/', '_');
    std::replace(Bytes.begin(), Bytes.end(), '\0', '_');
    Bytes.resize(std::min<std::size_t>(Bytes.size(), 200));
    return Bytes == "." || Bytes == ".." || Bytes.empty() ? "x" + Bytes : Bytes;
}

void Check(bool Holds) {
    if (!Holds) {
        std::abort();
    }
}

// Every value the key lists is found again under the name it was listed with.
void ListAndReadBack(HKEY Key) {
    for (DWORD Index = 0;; ++Index) {
        WCHAR Name[300];
        DWORD Chars = 300;
        BYTE Data[64];
        DWORD Bytes = sizeof(Data);
        const LSTATUS Status =
            NativeApi().RegEnumValueW(Key, Index, Name, &Chars, nullptr, nullptr, Data, &Bytes);
        if (Status == ERROR_NO_MORE_ITEMS) {
            return;
        }
        if (Status != ERROR_SUCCESS && Status != ERROR_MORE_DATA) {
            continue;
        }
        // A name with a NUL in it (a hand-made "%00") cannot be asked for, and is harmless.
        const std::u16string Listed(Name, Chars);
        DWORD Size = 0;
        Check(Listed.find(u'\0') != std::u16string::npos ||
              NativeApi().RegQueryValueExW(Key, Listed.c_str(), nullptr, nullptr, nullptr,
                                           &Size) == ERROR_SUCCESS);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char Folder[] = "/tmp/fuzz-registry-XXXXXX";
    Store = ::mkdtemp(Folder);
    ::setenv("LXCOMM_REGISTRY_DIR", Store.c_str(), 1);
    std::atexit([] { fs::remove_all(Store); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    if (Size < 1) {
        return 0;
    }
    // The first byte splits the rest into a name and the bytes of a value file.
    const std::string Rest(reinterpret_cast<const char*>(Data + 1), Size - 1);
    const std::size_t NameBytes = std::min<std::size_t>(Data[0], Rest.size());
    const std::string Name = FileName(Rest.substr(0, NameBytes));
    const std::string Key = Store + "/USER/Fuzz";
    // A folder whose name begins with "@" would stand where a value's file goes: not ours.
    const std::string SubKey = Name.front() == '@' ? "k" + Name : Name;
    fs::create_directories(Key + "/" + SubKey);
    std::ofstream(Key + "/@" + Name, std::ios::binary) << Rest.substr(NameBytes);
    std::ofstream(Key + "/" + SubKey + "/@" + Name, std::ios::binary) << Rest.substr(NameBytes);

    HKEY Opened = nullptr;
    Check(NativeApi().RegOpenKeyExW(HKEY_CURRENT_USER, u"fuzz", 0, KEY_ALL_ACCESS, &Opened) ==
          ERROR_SUCCESS);
    ListAndReadBack(Opened);

    // The same bytes as a UTF-16 value name, which any character may make up but NUL.
    std::u16string ValueName(std::min<std::size_t>(Rest.size() / 2, 20), u'\0');
    std::memcpy(ValueName.data(), Rest.data(), ValueName.size() * 2);
    std::replace(ValueName.begin(), ValueName.end(), u'\0', u'0');
    const BYTE Value[3] = {1, 2, 3};
    Check(NativeApi().RegSetValueExW(Opened, ValueName.c_str(), 0, REG_BINARY, Value, 3) ==
          ERROR_SUCCESS);
    BYTE Back[8] = {};
    DWORD BackSize = sizeof(Back);
    Check(NativeApi().RegQueryValueExW(Opened, ValueName.c_str(), nullptr, nullptr, Back,
                                       &BackSize) == ERROR_SUCCESS &&
          BackSize == 3 && std::memcmp(Back, Value, 3) == 0);
    // And as a subkey name, made and opened again.
    HKEY Sub = nullptr;
    if (!ValueName.empty()) {
        Check(NativeApi().RegCreateKeyExW(Opened, ValueName.c_str(), 0, nullptr, 0,
                                          KEY_ALL_ACCESS, nullptr, &Sub,
                                          nullptr) == ERROR_SUCCESS);
        NativeApi().RegCloseKey(Sub);
    }
    NativeApi().RegCloseKey(Opened);
    fs::remove_all(Key);
    return 0;
}
