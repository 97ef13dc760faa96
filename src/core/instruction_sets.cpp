#include "core/instruction_sets.hpp"

#include <cstdlib>
#include <cstring>

#include "core/panic.hpp"

// Each build's table, in a namespace of its own.
#define QUARNEL_INSTRUCTION_SET(name, runs_here) \
    namespace quarnel::kernels_##name {          \
    extern const Kernels kernels;                \
    }
#include "core/instruction_set_list.inc"
#undef QUARNEL_INSTRUCTION_SET

namespace quarnel {

namespace {

#if defined(__x86_64__) || defined(__i386__)
// Called before the builtins' tests: this may run before the runtime has set up what they read.
void detect_processor() { __builtin_cpu_init(); }
#else
void detect_processor() {}
#endif

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
}

struct Choice {
    const InstructionSet* chosen = nullptr;
    std::string problem;
};

Choice choose() {
    detect_processor();
    const char* requested = std::getenv(kInstructionSetVariable);
    Choice choice;
    for (const InstructionSet& set : instruction_sets()) {
        const bool named = requested != nullptr && *requested != '\0' && std::strcmp(requested, set.name) == 0;
        if (named || ((requested == nullptr || *requested == '\0') && set.runs_here())) {
            if (set.runs_here()) choice.chosen = &set;
            break;
        }
    }
    if (choice.chosen == nullptr) {
        const std::string name = requested == nullptr ? "" : requested;
        bool known = false;
        for (const InstructionSet& set : instruction_sets()) known = known || name == set.name;
        choice.problem = std::string(kInstructionSetVariable) + "=" + name +
                         (known ? " names a build this processor cannot run" : " names no build of quarnel") +
                         "; this processor runs: " + joined(runnable_instruction_sets());
    }
    return choice;
}

const Choice& choice() {
    static const Choice made = choose();
    return made;
}

// Chosen while the program loads: the environment is read once, before any thread starts.
[[maybe_unused]] const Choice& chosen_at_load = choice();

}  // namespace

const std::vector<InstructionSet>& instruction_sets() {
    static const std::vector<InstructionSet> sets = {
#define QUARNEL_INSTRUCTION_SET(name, test) {#name, &kernels_##name::kernels, [] { return bool(test); }},
#include "core/instruction_set_list.inc"
#undef QUARNEL_INSTRUCTION_SET
    };
    return sets;
}

std::vector<std::string> runnable_instruction_sets() {
    detect_processor();
    std::vector<std::string> names;
    for (const InstructionSet& set : instruction_sets())
        if (set.runs_here()) names.emplace_back(set.name);
    return names;
}

const char* instruction_set_name() {
    const InstructionSet* chosen = choice().chosen;
    return chosen == nullptr ? "none" : chosen->name;
}

const std::string& instruction_set_problem() { return choice().problem; }

const Kernels& kernels() {
    static const Kernels* const chosen = choice().chosen == nullptr ? nullptr : choice().chosen->kernels;
    if (chosen == nullptr) [[unlikely]]
        panic(instruction_set_problem());
    return *chosen;
}

}  // namespace quarnel
