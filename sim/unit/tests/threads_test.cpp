// The unit called from several threads at once, as a device host serving the
// panel's worker, a command-line client and its own control input does.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "test_host.h"

namespace korvel::sim::test {
namespace {

TEST(UnitThreads, ConcurrentClientsSeeOnlyWellFormedReplies) {
  Unit unit(Model::Tarrow);  // steady clock
  std::atomic<int> bad{0};
  std::atomic<int> items{0};
  auto client = [&](int seed) {
    for (int i = 0; i < 400; ++i) {
      Msg m;
      switch ((i + seed) % 4) {
        case 0:
          m.none(0x71);
          break;
        case 1:
          m.none(0x31).none(0x38);
          break;
        case 2:
          m.ch(4, static_cast<uint8_t>(1 + i % 4)).u8(0x83, i & 1).none(0xC3);
          break;
        default:
          m.assign(0, 0, 0, 0);
          break;
      }
      const auto msg = m.done();
      if (unit.control_out(0x1D, 0, 0, msg.data(), static_cast<uint16_t>(msg.size())) != TransferResult::Ok)
        ++bad;
      for (int r = 0; r < 3; ++r) {
        std::vector<uint8_t> reply(64);
        if (unit.control_in(0x1E, 0, 0, reply.data(), 64) != TransferResult::Ok) ++bad;
        bool clean = false;
        const auto got = decode(reply, &clean);
        if (!clean) ++bad;
        items += static_cast<int>(got.size());
      }
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back(client, t);
  threads.emplace_back([&] {
    for (int i = 0; i < 400; ++i) {
      unit.set_busy_for_ms(i % 3);
      unit.set_sample_rate(i % 2 ? 44100 : 48000);
      if (unit.info().product != "Tarrow") ++bad;
    }
  });
  for (auto& t : threads) t.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(items.load(), 4 * 400 * 3);
}

}  // namespace
}  // namespace korvel::sim::test
