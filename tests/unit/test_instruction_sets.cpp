// The build of the kernels in use: the one QUARNEL_INSTRUCTION_SET names (scripts/test.sh runs
// these tests under every build the processor runs), or the best one.
#include "core/instruction_sets.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>

namespace quarnel {
namespace {

// Every test runs under the build asked for, or none runs.
class ChosenBuild : public ::testing::Environment {
public:
    void SetUp() override {
        ASSERT_EQ(instruction_set_problem(), "");
        std::cout << "kernels: the " << instruction_set_name() << " build, " << kernels().lane_width
                  << " lanes a block\n";
    }
};

[[maybe_unused]] auto* const chosen_build = ::testing::AddGlobalTestEnvironment(new ChosenBuild);

TEST(InstructionSets, TheBuildInUseIsTheOneAskedForOrTheBestTheProcessorRuns) {
    const std::vector<std::string> runnable = runnable_instruction_sets();
    ASSERT_FALSE(runnable.empty());
    const char* requested = std::getenv(kInstructionSetVariable);
    const std::string expected = requested != nullptr && *requested != '\0' ? requested : runnable.front();
    EXPECT_EQ(instruction_set_name(), expected);
    EXPECT_NE(std::find(runnable.begin(), runnable.end(), expected), runnable.end());
    const auto& sets = instruction_sets();
    const auto in_use = std::find_if(sets.begin(), sets.end(), [&](const InstructionSet& s) { return s.name == expected; });
    ASSERT_NE(in_use, sets.end());
    EXPECT_EQ(in_use->kernels, &kernels());
}

}  // namespace
}  // namespace quarnel
