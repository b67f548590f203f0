// What a conformance case needs from the side it runs on that the platform
// API cannot do itself: a fresh machine, setup under HKLM, a second process,
// fake biometric devices, and which operations this side is known to stub.
// The sim side drives sim::Machine; the Windows side uses the real API.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/types.h"

namespace conformance {

// Per test: the sim side builds a fresh machine; the Windows side removes
// the keys and devices the test made.
class Side {
 public:
  virtual ~Side() = default;
};
std::unique_ptr<Side> MakeSide();

// True when the Windows side runs under Wine.
bool OnWine();

// Setup under HKEY_LOCAL_MACHINE: creates the key path as needed.
void SetRegistryValue(const std::wstring& keyPath, const std::wstring& name, DWORD type,
                      const std::vector<BYTE>& data);
void CreateRegistryKey(const std::wstring& keyPath);

// Another process opens the named event, sets it and ends; true when it did.
bool SetEventFromOtherProcess(const std::wstring& name);

class Conformance : public ::testing::Test {
 protected:
  std::unique_ptr<Side> side_ = MakeSide();
};

}  // namespace conformance

// Skips a case whose behaviour Wine stubs, so that it still runs on Windows.
#define SKIP_ON_WINE(reason)                                 \
  do {                                                       \
    if (::conformance::OnWine()) GTEST_SKIP() << "Wine: " << reason; \
  } while (0)
