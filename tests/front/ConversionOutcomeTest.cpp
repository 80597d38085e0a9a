#include <gtest/gtest.h>

#include "front/ConversionOutcome.h"

namespace {

TEST(ConversionOutcome, EveryFieldCrossesTheWorkerChannelAndCutBytesAreRefused) {
    TConversionOutcome lossy;
    lossy.Warn("damaged");
    lossy.Lost = {"alpha", "depth", "orientation"};
    TConversionOutcome failed;
    failed.Fail(TConversionStatus::Failed, "The output cannot hold the input's profile.");
    const TConversionOutcome cases[] = {TConversionOutcome{}, lossy, failed};
    for (const TConversionOutcome& outcome : cases) {
        const std::string bytes = EncodeOutcome(outcome);
        const auto decoded = DecodeOutcome(bytes);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->Status, outcome.Status);
        EXPECT_EQ(decoded->Error, outcome.Error);
        EXPECT_EQ(decoded->Warnings, outcome.Warnings);
        EXPECT_EQ(decoded->Lost, outcome.Lost);
        for (size_t cut = 0; cut < bytes.size(); ++cut) EXPECT_FALSE(DecodeOutcome(bytes.substr(0, cut))) << cut;
        EXPECT_FALSE(DecodeOutcome(bytes + "x"));
    }
}

}  // namespace
