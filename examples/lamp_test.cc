#include "examples/lamp.h"

#include <gtest/gtest.h>

#include "testkit/testkit.h"

TEST(Lamp, SwitchesOnAndOff) {
  testkit::Machine lamp("LAMP", "lamp", create_lamp);
  ASSERT_EQ(0, lamp.start());
  EXPECT_EQ(0, lamp.event("switch:*"));  // a client's EVENT write, then one tick
  EXPECT_EQ("on", lamp.flow(0));         // FLOW_0 as a client reads it
  EXPECT_EQ("", lamp.fault());
  lamp.advance(std::chrono::minutes(10));  // the kit's clock: no waiting
  EXPECT_EQ("off", lamp.flow(0));
}
