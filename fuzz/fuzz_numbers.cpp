// Any bytes as the numbering file, which anyone may edit: every device comes out once, under a
// number of its own, and the texts survive being written out and read back.
#include "posix/portmap.h"

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    const std::string_view Text(reinterpret_cast<const char*>(Data), Size);
    std::set<int> Numbers;
    std::set<std::u16string> Ids;
    for (const winapi::posix::TKnownDevice& Device : winapi::posix::ParseNumbers(Text)) {
        if (Device.Number <= 0 || Device.InstanceId.empty() ||
            !Numbers.insert(Device.Number).second || !Ids.insert(Device.InstanceId).second) {
            std::abort();
        }
    }
    return 0;
}
