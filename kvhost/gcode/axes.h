// Axis order and per-axis arrays shared by the parser and the planner.
// A fixed order of six axes lets every per-axis table be a plain array indexed without lookups.
#pragma once

#include <array>
#include <cstddef>

namespace kvgcode {

inline constexpr std::size_t kAxisCount = 6;

enum class Axis : std::size_t { X, Y, Z, A, B, C };

template <typename T>
using AxisArray = std::array<T, kAxisCount>;

inline constexpr AxisArray<char> kAxisLetters{'X', 'Y', 'Z', 'A', 'B', 'C'};

constexpr std::size_t Index(Axis axis) { return static_cast<std::size_t>(axis); }

// X, Y and Z are lengths (G20 scales them); A, B and C are angles in degrees.
constexpr bool IsLinearAxis(std::size_t axis) { return axis < 3; }

}  // namespace kvgcode
