// A set of the members of a small enumeration (ordinals 0 to 31), such as the ignore set a data
// processor reports. Member n is bit n of Bits(), so a set also reads as the number that has bit n
// set for each member n.
#pragma once

#include <cstdint>
#include <initializer_list>

template <class TEnum> class TlxSet {
public:
    constexpr TlxSet() = default;
    constexpr TlxSet(std::initializer_list<TEnum> Members) {
        for (const TEnum Member : Members) {
            Include(Member);
        }
    }

    constexpr bool Contains(TEnum Member) const { return (fBits & Bit(Member)) != 0; }
    constexpr TlxSet& Include(TEnum Member) {
        fBits |= Bit(Member);
        return *this;
    }
    constexpr TlxSet& Exclude(TEnum Member) {
        fBits &= ~Bit(Member);
        return *this;
    }
    constexpr bool Empty() const { return fBits == 0; }
    constexpr std::uint32_t Bits() const { return fBits; }

    friend constexpr bool operator==(TlxSet, TlxSet) = default;

private:
    static constexpr std::uint32_t Bit(TEnum Member) {
        const auto Ordinal = static_cast<unsigned>(Member);
        return Ordinal < 32 ? std::uint32_t{1} << Ordinal : 0;
    }

    std::uint32_t fBits = 0;
};
