#pragma once

#include <cstdint>

// Small numeric helpers used by the codecs.

// Reverses the byte order of a 32-bit value.
constexpr uint32_t Swap32(uint32_t Value) {
    return (Value >> 24) | ((Value >> 8) & 0xFF00u) | ((Value << 8) & 0xFF0000u) | (Value << 24);
}
// Reverses the byte order of a float in place.
void Swap32Float(float& Value);

void SwapValues(int32_t& A, int32_t& B);

// Value limited to [Low, High].
constexpr int32_t Clamp(int32_t Value, int32_t Low, int32_t High) {
    return Value < Low ? Low : Value > High ? High : Value;
}

constexpr int64_t RoundUp4(int64_t N) { return (N + 3) & ~int64_t{3}; }
constexpr int64_t RoundUp8(int64_t N) { return (N + 7) & ~int64_t{7}; }
