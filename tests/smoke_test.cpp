#include <gtest/gtest.h>
#include "platform/sim/machine.h"
#include "service/entry.h"
TEST(Smoke, Runs) {
  sim::Machine machine;
  wchar_t program[] = L"x";
  wchar_t* argv[] = {program, nullptr};
  EXPECT_EQ(0, wmain(1, argv));
}
