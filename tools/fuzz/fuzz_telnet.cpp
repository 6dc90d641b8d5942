// libFuzzer target for the Telnet parser of network serial ports.
//
// The input is fed in pieces whose sizes come from the input itself, so
// that every state is also reached across a split. Properties checked
// beyond "no crash": never more data bytes out than bytes in, and the
// replies stay within their bound.
#include "platform/posix/telnet_p.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

using pmv::platform::detail::TTelnetParser;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TTelnetParser parser;
    (void)parser.Greeting();
    std::vector<std::uint8_t> out(size);
    std::size_t pos = 0;
    std::size_t round = 0;
    while (pos < size) {
        const std::size_t piece = std::min<std::size_t>(size - pos, 1 + data[pos] % 97);
        const std::size_t got = parser.Feed(data + pos, piece, out.data());
        if (got > piece || parser.Replies().size() > TTelnetParser::kMaxReplies)
            std::abort();
        if (++round % 3 == 0)
            parser.Replies().clear(); // sometimes the caller is slow to send
        pos += piece;
    }
    return 0;
}
