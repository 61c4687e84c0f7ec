// Type-safe formatting of the library's log lines.
//
// A format is printf-like text: "%%" stands for one percent sign, and every other "%" starts a
// conversion  %[flags][width]type  that takes the next argument of the list:
//   d    the integer in decimal, with its sign;
//   u    the integer in decimal, unsigned;
//   x X  the integer in hexadecimal, lower or upper case;
//   s    the text.
// A negative integer under u, x or X shows its two's complement at the width of the type it was
// given as (-1 given as a 32-bit int shows FFFFFFFF), as in the C library.
// Flags: '-' pads on the right instead of the left; '0' pads a number with zeros after its sign
// instead of blanks on the left. The width is the least number of characters ("%2X" of 5 is " 5",
// "%02X" of 5 is "05").
//
// The arguments are a list built at run time (so that virtual operations can take them) of typed
// values; anything else does not compile. A format and its arguments that do not fit never fail:
// a log line is a report, and a formatting slip must not turn into a second error while a first one
// is reported. The slip shows in the line instead:
//   a conversion without an argument         "%!d(missing)"
//   an argument of the wrong kind            "%!d(text=abc)", "%!s(int=-5)", "%!s(uint=5)"
//   an unknown conversion letter (takes one) "%!q(int=5)"
//   a format that ends inside a conversion   "%!(incomplete)"
// Arguments left over after the last conversion are ignored.
#pragma once

#include <QString>
#include <concepts>
#include <cstdint>
#include <type_traits>
#include <vector>

// One typed argument: a signed or unsigned integer (remembering the size of the type it came
// from) or a text.
class TlxArg {
public:
    enum class TKind { Signed, Unsigned, Text };

    template <std::integral T>
    requires(!std::same_as<T, bool>) TlxArg(T Value)
        : fKind(std::is_signed_v<T> ? TKind::Signed : TKind::Unsigned),
          fSize(static_cast<int>(sizeof(T))), fSigned(static_cast<std::int64_t>(Value)),
          fUnsigned(static_cast<std::uint64_t>(Value)) {}
    TlxArg(const QString& Value) : fKind(TKind::Text), fText(Value) {}
    // UTF-8 text.
    TlxArg(const char* Value) : fKind(TKind::Text), fText(QString::fromUtf8(Value)) {}

    TKind Kind() const { return fKind; }
    // Size in bytes of the integer's original type.
    int Size() const { return fSize; }
    std::int64_t Signed() const { return fSigned; }
    std::uint64_t Unsigned() const { return fUnsigned; }
    const QString& Text() const { return fText; }

private:
    TKind fKind;
    int fSize = 0;
    std::int64_t fSigned = 0;
    std::uint64_t fUnsigned = 0;
    QString fText;
};

using TlxArgs = std::vector<TlxArg>;

// Fills Format with Args as described above, e.g. LxFormat("COM%u", {3u}) gives "COM3".
QString LxFormat(const QString& Format, const TlxArgs& Args);
