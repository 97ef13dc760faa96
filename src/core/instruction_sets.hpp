#pragma once
// The builds of the kernels this program holds (cmake/instruction_sets.cmake), and the one in
// use: chosen once, while the program loads, as the environment variable
// QUARNEL_INSTRUCTION_SET names it, else the best one the processor runs. A name that is
// unknown or that the processor cannot run chooses nothing: the first use of a kernel then
// panics, and the module's import fails (instruction_set_problem says why).
#include <string>
#include <vector>

#include "core/kernels.hpp"

namespace quarnel {

inline constexpr const char* kInstructionSetVariable = "QUARNEL_INSTRUCTION_SET";

struct InstructionSet {
    const char* name;
    const Kernels* kernels;
    bool (*runs_here)();
};

// Every build, best first.
const std::vector<InstructionSet>& instruction_sets();

// The names of the builds this processor runs, best first.
std::vector<std::string> runnable_instruction_sets();

// The name of the build in use.
const char* instruction_set_name();

// Empty when a build was chosen; else why none was, naming the builds this processor runs.
const std::string& instruction_set_problem();

}  // namespace quarnel
