// Whatever a master puts on the line, the simulated bench answers with a well-formed reply or
// stays silent, and never reads outside the frame it was given.
#include "SimResponder.h"

#include <algorithm>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    static sim::TBenchModel model{sim::TBenchSettings{}};
    // The first byte cuts the input into frames of that length, so one run sees several frames.
    const std::size_t length = Size == 0 ? 0 : 1 + Data[0] % 16;
    for (std::size_t at = 1; at < Size; at += length) {
        const std::size_t n = std::min(length, Size - at);
        const sim::TResponse response = sim::Respond(model, {Data + at, n});
        if (!response.Reply.empty() && !sim::CRCValid(response.Reply))
            std::abort();
    }
    return 0;
}
