#pragma once
// The fuzzers' one seeded generator: a seed and a count replay a run exactly.

#include <cstddef>
#include <cstdint>

// splitmix64: small, fast and good enough to drive a fuzzer.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}

    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    std::uint32_t Below(std::uint32_t bound) {
        return bound == 0 ? 0 : static_cast<std::uint32_t>(Next() % bound);
    }
    bool Percent(std::uint32_t chance) { return Below(100) < chance; }
    template <typename T, std::size_t N>
    const T& Pick(const T (&items)[N]) {
        return items[Below(N)];
    }
    // One of a container's items; it must not be empty.
    template <typename Container>
    const typename Container::value_type& Pick(const Container& items) {
        return items[Below(static_cast<std::uint32_t>(items.size()))];
    }

private:
    std::uint64_t state_;
};
