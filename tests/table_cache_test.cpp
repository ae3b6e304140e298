// Tables kept for the files that follow (Gaussian phase pulses by BT, transform plans by length)
// are, to the bit, the tables made afresh, whichever threads ask for them in whichever order.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstddef>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/shared_cache.h"
#include "generator/family.h"
#include "modulation/fft.h"
#include "modulation/keying.h"

namespace quorvin {
namespace {

// Runs body(thread, pass) on 4 threads at once, 3 passes each.
template <typename Body>
void on_threads(Body body) {
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < 4; ++t) {
    threads.emplace_back([t, &body] {
      for (std::size_t pass = 0; pass < 3; ++pass) body(t, pass);
    });
  }
  for (std::thread& t : threads) t.join();
}

// Each integral worked out once, the table is still the pulse at each of its points: narrow and
// wide pulses, long and short tails, both ends exactly 0 and 1.
TEST(TableCache, GaussianPulsePointsAreThePulseAtEachPoint) {
  for (const double bt : {0.1, 0.2, 0.3, 0.5, 1.0, 10.0}) {
    const int tail = static_cast<int>(std::ceil(6.0 * gaussian_sigma(bt)));
    const std::vector<double> points = gaussian_phase_pulse_points(bt, tail, 1024);
    ASSERT_EQ(points.size(), static_cast<std::size_t>(2 * tail + 1) * 1024 + 1) << bt;
    EXPECT_EQ(points.front(), 0.0);
    EXPECT_EQ(points.back(), 1.0);
    for (std::size_t i = 0; i < points.size(); ++i) {
      ASSERT_EQ(points[i], gaussian_phase_pulse(static_cast<double>(-tail) + static_cast<double>(i) / 1024, bt, tail))
          << "BT " << bt << " point " << i;
    }
  }
}

// More keys than are kept, asked for by 4 threads in different orders: every plan is the fresh
// plan of its own length and direction (a length past those kept, and one not a power of two,
// among them), and the cache keeps its bound while a plan it dropped stays usable.
TEST(TableCache, SharedPlansAreFreshPlansOfTheirLength) {
  std::vector<std::pair<std::size_t, FftDirection>> keys;
  for (const std::size_t n : {8u, 32u, 100u, 256u, 1024u, 2048u, 4096u, 65536u, 131072u}) {
    keys.emplace_back(n, FftDirection::forward);
    keys.emplace_back(n, FftDirection::inverse);
  }
  std::vector<FftPlan> fresh;
  for (const auto& [n, direction] : keys) fresh.push_back(fft_plan(n, direction));
  std::atomic<int> wrong{0};
  on_threads([&](std::size_t thread, std::size_t pass) {
    for (std::size_t i = 0; i < keys.size(); ++i) {
      const std::size_t k = (i * (2 * thread + 1) + pass) % keys.size();
      const std::shared_ptr<const FftPlan> plan = cached_fft_plan(keys[k].first, keys[k].second);
      const FftPlan& f = fresh[k];
      if (plan->n != f.n || plan->direction != f.direction || plan->twiddles != f.twiddles ||
          plan->inverse_twiddles != f.inverse_twiddles || plan->chirps != f.chirps ||
          plan->chirp_transform != f.chirp_transform || plan->stage_twiddles != f.stage_twiddles) {
        ++wrong;
      }
    }
  });
  EXPECT_EQ(wrong.load(), 0);

  SharedCache<int, std::vector<int>> cache(3);
  std::atomic<int> made{0};
  const auto make = [&made](int key) {
    ++made;
    return std::vector<int>(4, key);
  };
  const std::shared_ptr<const std::vector<int>> held = cached_value(cache, 0, [&] { return make(0); });
  on_threads([&](std::size_t thread, std::size_t pass) {
    for (int key = 0; key < 10; ++key) {
      const int k = (key + static_cast<int>(thread + pass)) % 10;
      if (*cached_value(cache, k, [&] { return make(k); }) != std::vector<int>(4, k)) ++wrong;
    }
  });
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_LE(cache.entries.size(), 3u);
  EXPECT_GT(made.load(), 10);  // dropped values were made again
  EXPECT_EQ(*held, std::vector<int>(4, 0));
  // The most recently used is kept: asked again at once, it is not made again.
  const int before = made.load();
  cached_value(cache, 7, [&] { return make(7); });
  cached_value(cache, 7, [&] { return make(7); });
  EXPECT_LE(made.load(), before + 1);
}

// The Gaussian names at more BT values than are kept, made by 4 threads interleaved: each file's
// samples are those its BT gave when made alone beforehand.
TEST(TableCache, GaussianNamesAtInterleavedBtGiveTheirOwnSamples) {
  const std::vector<std::string> names = {"GMSK", "2GFSK", "4GMSK"};
  const std::vector<double> bts = {0.2, 0.25, 0.3, 0.35, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1.0};
  const auto samples = [&](std::size_t name, std::size_t bt) {
    const std::array draws{1.0, bts[bt]};  // the keyed family's FSK index and BT
    const WaveformParameters p{.sample_rate = 1e6, .num_samples = 1500, .symbol_rate = 1e6 / 5.3, .symbol_seed = Seed{7},
                               .family_draws = draws};
    return prepare_waveform(resolve_waveform(names[name]), p)(0, 1500);
  };
  std::vector<std::vector<Signal>> alone(names.size());
  for (std::size_t n = 0; n < names.size(); ++n) {
    for (std::size_t b = 0; b < bts.size(); ++b) alone[n].push_back(samples(n, b));
  }
  // Neighbouring BTs give different samples, so a table given for the wrong BT would show.
  ASSERT_NE(alone[0][2], alone[0][3]);
  std::atomic<int> wrong{0};
  on_threads([&](std::size_t thread, std::size_t pass) {
    for (std::size_t i = 0; i < bts.size(); ++i) {
      const std::size_t b = (i * 3 + thread + pass) % bts.size();
      const std::size_t n = (i + thread) % names.size();
      if (samples(n, b) != alone[n][b]) ++wrong;
    }
  });
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace quorvin
