// Any kernel name for an open key, as a system or a compatibility layer may report it: the path
// found stays inside the name, and a name of the machine's or the user's hive loses just its
// prefix.
#include "fake_winapi.h"
#include "lxwin32.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool EndsWith(std::u16string_view Text, std::u16string_view End) {
    return Text.size() >= End.size() && Text.substr(Text.size() - End.size()) == End;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    // The kernel name: the input as UTF-16, without NULs (the name is read up to the first).
    std::u16string Name(Size / 2, u'\0');
    std::memcpy(Name.data(), Data, Name.size() * 2);
    for (char16_t& Char : Name) {
        Char = Char == 0 ? u'x' : Char;
    }
    lxtest::TFakeApi Fake;
    const lxtest::TFakeApiScope Scope(Fake);
    Fake.AddKey(winapi::HKEY_LOCAL_MACHINE, u"Fuzz");
    Fake.SetKernelName(winapi::HKEY_LOCAL_MACHINE, u"Fuzz", Name);
    winapi::HKEY Key = nullptr;
    if (winapi::Api().RegOpenKeyExW(winapi::HKEY_LOCAL_MACHINE, u"Fuzz", 0, winapi::KEY_READ,
                                    &Key) != winapi::ERROR_SUCCESS) {
        std::abort();
    }
    std::u16string Whole;
    lx::GetRegistryKeyPath(Key, nullptr, Whole);
    winapi::HKEY Root = winapi::HKEY(1);
    std::u16string Path;
    lx::GetRegistryKeyPath(Key, &Root, Path);
    winapi::Api().RegCloseKey(Key);
    const bool Fits = Root == winapi::HKEY_LOCAL_MACHINE ? Path == Name.substr(18)
                      : Root == winapi::HKEY_CURRENT_USER ? EndsWith(Name, Path)
                                                          : Root == nullptr && Path == Name;
    if (Whole != Name || !Fits) {
        std::abort();
    }
    return 0;
}
