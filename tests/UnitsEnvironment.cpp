#include <gtest/gtest.h>

#include "front/Units.h"
#include "picture/Dialogs.h"

// The whole suite runs with the units initialised as the program initialises them, and
// never waits for a person, even when started from a terminal.
namespace {
class UnitsEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        InitializeUnits();
        host::SetAskUser(false);
    }
};
[[maybe_unused]] const auto* const environment = ::testing::AddGlobalTestEnvironment(new UnitsEnvironment);
}  // namespace
