#include <gtest/gtest.h>

#include "front/Units.h"

// The whole suite runs with the units initialised as the program initialises them.
namespace {
class UnitsEnvironment : public ::testing::Environment {
public:
    void SetUp() override { InitializeUnits(); }
};
[[maybe_unused]] const auto* const environment = ::testing::AddGlobalTestEnvironment(new UnitsEnvironment);
}  // namespace
