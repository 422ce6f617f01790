// quenby on each simulated model: start, power cycles, surprise removal,
// remove with every allocation freed, and plugging in again.
#include "driver_stack.h"

#include <gtest/gtest.h>

#include "kernel/clock.h"

using korvel::sim::Clock;
using korvel::sim::Model;
using korvel::sim::Unit;
using korvel::sim::devhost::DriverStack;

namespace {

const Model kModels[] = {Model::Tarrow, Model::Quenby, Model::Pellin, Model::Dorrit, Model::FarLink};

uint64_t clock_us() {
  return Clock::instance().now_ns() / 1000;
}

class ModelStack : public ::testing::TestWithParam<std::tuple<Model, bool>> {};

TEST_P(ModelStack, StartsReportsAndFreesEverythingAtRemove) {
  Model model = std::get<0>(GetParam());
  bool high = std::get<1>(GetParam());
  Unit unit(model, clock_us);
  DriverStack stack(unit, high);
  std::string error;
  ASSERT_TRUE(stack.plug(&error)) << error;
  EXPECT_EQ(stack.driver_power_state(), 1u);
  EXPECT_GT(DriverStack::pool("ac2m").allocations, 0u);
  EXPECT_GT(DriverStack::pool("ac2d").allocations, 0u);

  auto r = stack.report();
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.high_speed, high);
  ASSERT_TRUE(r.render.present);
  ASSERT_TRUE(r.capture.present);
  EXPECT_EQ(r.render.interface_number, 1);
  EXPECT_EQ(r.capture.interface_number, 2);
  EXPECT_EQ(r.render.feature_unit,
            model == Model::Tarrow || model == Model::Pellin || model == Model::FarLink);
  EXPECT_EQ(r.render.slots.front().alt, 0);
  EXPECT_EQ(r.render.slots.front().channels, -1);
  EXPECT_GE(r.render.slots.size(), 2u);
  for (size_t i = 1; i < r.render.slots.size(); ++i) {
    EXPECT_EQ(r.render.slots[i].data_endpoint, 0x01);
    EXPECT_EQ(r.render.slots[i].feedback_endpoint, 0x81);
  }
  EXPECT_EQ(r.render.rates.front(), 44100u);
  EXPECT_EQ(r.render.min_rate, 44100u);
  EXPECT_EQ(r.render.max_rate, model == Model::FarLink && high ? 192000u : 48000u);
  // Start leaves the default (smallest) format's rate on the clock.
  EXPECT_EQ(unit.info().sample_rate, 44100u);

  stack.unplug();
  EXPECT_EQ(DriverStack::pool("ac2m").allocations, 0u);
  EXPECT_EQ(DriverStack::pool("ac2d").allocations, 0u);
}

INSTANTIATE_TEST_SUITE_P(AllModels, ModelStack,
                         ::testing::Combine(::testing::ValuesIn(kModels), ::testing::Bool()));

TEST(DriverStack, PowerCyclesD0D3D0) {
  Unit unit(Model::Quenby, clock_us);
  DriverStack stack(unit, true);
  ASSERT_TRUE(stack.plug());
  for (int cycle = 0; cycle < 3; ++cycle) {
    EXPECT_EQ(stack.set_power(4), 0);
    EXPECT_EQ(stack.driver_power_state(), 4u);
    EXPECT_EQ(stack.set_power(1), 0);
    EXPECT_EQ(stack.driver_power_state(), 1u);
  }
  // Time passes while the streaming thread serves nothing.
  Clock::instance().sleep_for(100000000);
  stack.remove();
  EXPECT_EQ(DriverStack::pool("ac2m").allocations, 0u);
}

TEST(DriverStack, SurpriseRemovalThenRemoveThenPlugAgain) {
  Unit unit(Model::Dorrit, clock_us);
  DriverStack stack(unit, true);
  ASSERT_TRUE(stack.plug());
  stack.surprise_remove();
  EXPECT_TRUE(stack.plugged());
  // D0 again after the unit left: the device is not connected.
  EXPECT_EQ(stack.set_power(4), 0);
  EXPECT_EQ(stack.set_power(1), 0);
  EXPECT_EQ(stack.driver_power_state(), 4u);
  stack.remove();
  EXPECT_FALSE(stack.plugged());
  EXPECT_EQ(DriverStack::pool("ac2m").allocations, 0u);
  std::string error;
  ASSERT_TRUE(stack.plug(&error)) << error;
  EXPECT_TRUE(stack.started());
  stack.unplug();
  EXPECT_EQ(DriverStack::pool("ac2d").allocations, 0u);
}

}  // namespace
