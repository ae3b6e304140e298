#pragma once
// The exact model's waveform choices, shared by the generator and the run's settings.

namespace quorvin {

enum class PulseShape { rrc, rect, linear };  // root-raised cosine, rectangle, triangle
enum class Sideband { lower, upper };

}  // namespace quorvin
