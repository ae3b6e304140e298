#include "modulation/interpolate.h"

#include "dsp_reference.h"

namespace quorvin {
namespace {

TEST(Interpolate, TwoPointsHandWorked) {
  const Grid grid{0.0, 1.0};
  const Signal values{{0.0, 0.0}, {2.0, -2.0}};
  const std::pair<double, Sample> cases[] = {
      {0.25, {0.5, -0.5}}, {0.5, {1.0, -1.0}},
      {-1.0, {0.0, 0.0}},   // before the grid: the first value held
      {1.0, {2.0, -2.0}},   // on the last point
      {5.0, {2.0, -2.0}},   // after the grid: the last value held
  };
  for (const auto& [x, expected] : cases) EXPECT_EQ(interpolate_linear(grid, values, x), expected) << x;
}

TEST(Interpolate, RepeatedGridPointsTakeTheLaterSegment) {
  // Upper bound of 1.0 in 0, 1, 1, 2 is index 3: the segment from the second 1 onwards.
  const Grid grid{0.0, 1.0, 1.0, 2.0};
  const Signal values{{0, 0}, {1, 0}, {5, 0}, {7, 0}};
  EXPECT_EQ(interpolate_linear(grid, values, 1.0), Sample(5.0, 0.0));
  EXPECT_EQ(interpolate_linear(grid, values, 1.5), Sample(6.0, 0.0));
}

TEST(Interpolate, NanPositionIsUndefinedNotACrash) {
  const Sample s = interpolate_linear({0.0, 1.0, 2.0}, {{1, 1}, {2, 2}, {3, 3}}, std::nan(""));
  EXPECT_TRUE(std::isnan(s.real()));
}

// Grid and value lengths that differ either way round, or are both zero, give (0, 0) from the
// single-point search and from the walk alike.
TEST(Interpolate, MalformedGridsGiveZeros) {
  const std::pair<std::size_t, std::size_t> shapes[] = {{2, 1}, {1, 2}, {5, 3}, {0, 0}, {0, 1}, {1, 0}};
  for (const auto& [grid_length, value_length] : shapes) {
    Grid grid(grid_length);
    for (std::size_t k = 0; k < grid.size(); ++k) grid[k] = static_cast<double>(k);
    const Signal values(value_length, Sample(1.0, 1.0));
    EXPECT_EQ(interpolate_linear(grid, values, 0.5), Sample(0.0, 0.0)) << grid_length << " " << value_length;
    const Signal out = interpolate_linear_along(grid, values, 3, [](std::size_t) { return 0.5; });
    EXPECT_EQ(out, Signal(3, Sample(0.0, 0.0))) << grid_length << " " << value_length;
  }
}

// The cursor walk must give exactly what the per-sample search gives, whatever the positions do.
TEST(InterpolateAlong, BitIdenticalToPerSampleSearch) {
  Grid grid(50);
  Signal values(50);
  for (std::size_t k = 0; k < grid.size(); ++k) {
    grid[k] = static_cast<double>(k) * 0.37 + (k > 20 ? 3.0 : 0.0);
    values[k] = {std::sin(static_cast<double>(k)), std::cos(0.3 * static_cast<double>(k))};
  }
  grid[31] = grid[30];  // a repeated point
  const std::vector<std::vector<double>> sequences = {
      {-1.0, 0.0, 0.1, 0.37, 0.5, 7.0, 7.77, 10.0, 25.0, 40.0},  // rising, past both ends
      {30.0, 20.0, 10.0, 5.0, 0.2, -3.0},                         // falling
      {3.0, 12.0, 1.0, 11.1, 11.1, 0.0, 21.0, 4.4},               // jumping back and forth
      {grid[30], grid[31], grid[30] + 1e-9, grid[49], grid[49] - 1e-12},
  };
  for (const auto& positions : sequences) {
    const Signal along = interpolate_linear_along(grid, values, positions.size(),
                                                  [&](std::size_t j) { return positions[j]; });
    Signal searched;
    for (const double x : positions) searched.push_back(interpolate_linear(grid, values, x));
    EXPECT_TRUE(test::same_bits(along, searched));
  }
}

}  // namespace
}  // namespace quorvin
