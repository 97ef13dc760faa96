// Seeded sweeps give the committed bits (tests/golden/sweeps.txt, whose header describes the
// format) with the build of the kernels in use: its scattered cases, run by the engine itself.
// scripts/test.sh runs this under every build the processor runs, and scripts/test-aarch64.sh
// under qemu, so every build and ARM are held to the same bits.
#include <bit>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "core_test_support.hpp"
#include "explore/batch.hpp"
#include "sha256.hpp"

namespace quarnel {
namespace {

using namespace testing_support;
using Case = std::map<std::string, std::string>;

constexpr const char* kDigest = "sha256.";

std::vector<Case> read_cases() {
    std::ifstream file(QUARNEL_GOLDEN_SWEEPS);
    std::vector<Case> cases;
    for (std::string line; std::getline(file, line);) {
        std::istringstream fields(line.substr(0, line.find('#')));
        Case fields_of_case;
        for (std::string field; fields >> field;) {
            const std::size_t equals = field.find('=');
            fields_of_case[field.substr(0, equals)] = field.substr(equals + 1);
        }
        if (!fields_of_case.empty()) cases.push_back(fields_of_case);
    }
    return cases;
}

Matrix game_of(const Case& c) {
    Matrix a = Matrix::zeros(std::stoull(c.at("rows")), std::stoull(c.at("cols")));
    std::istringstream entries(c.at("a"));
    std::size_t i = 0;
    for (std::string entry; std::getline(entries, entry, ',');) a.data.at(i++) = std::strtod(entry.c_str(), nullptr);
    EXPECT_EQ(i, a.data.size()) << c.at("case");
    return a;
}

// As quarnel_lab makes it: sized to the game when square, else of dimension 1.
Optimizer optimizer_of(const Case& c, const Matrix& a) {
    const double eta = std::strtod(c.at("eta").c_str(), nullptr);
    const std::uint64_t dim = a.rows == a.cols ? a.rows : 1;
    const std::string& rule = c.at("rule");
    if (rule == "ogda") return Optimizer::ogda(eta, dim);
    if (rule == "omwuoomd") return Optimizer::omwuoomd(eta, dim);
    EXPECT_EQ(rule, "omwuoftrl");
    return Optimizer::omwuoftrl(eta, dim);
}

SweepKey key_of(const Case& c) {
    unsigned char bytes[16];
    const std::string& hex = c.at("key");
    for (std::size_t i = 0; i < 16; ++i) bytes[i] = static_cast<unsigned char>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    return SweepKey::from_bytes(bytes);
}

// The digest of a column's values in trial order, 8 bytes each, little-endian.
template <typename T, typename Value>
std::string digest(const std::vector<TrialSummary>& trials, Value value) {
    static_assert(std::endian::native == std::endian::little);
    std::vector<unsigned char> bytes(trials.size() * sizeof(T));
    for (std::size_t k = 0; k < trials.size(); ++k) {
        const T v = value(trials[k]);
        std::memcpy(bytes.data() + k * sizeof(T), &v, sizeof(T));
    }
    return sha256_hex(bytes);
}

std::map<std::string, std::string> digests(const std::vector<TrialSummary>& trials) {
    const auto norm = [](NormKind kind) { return [kind](const TrialSummary& t) { return t.norms[static_cast<int>(kind)]; }; };
    return {{"norm_max", digest<double>(trials, norm(NormKind::Max))},
            {"norm_infinity", digest<double>(trials, norm(NormKind::Infinity))},
            {"norm_frobenius", digest<double>(trials, norm(NormKind::Frobenius))},
            {"max_last", digest<double>(trials, [](const TrialSummary& t) { return t.gaps.max_last; })},
            {"var_last", digest<double>(trials, [](const TrialSummary& t) { return t.gaps.var_last; })},
            {"total_var", digest<double>(trials, [](const TrialSummary& t) { return t.gaps.total_var; })},
            {"last_gap", digest<double>(trials, [](const TrialSummary& t) { return t.gaps.last_gap; })},
            {"steps", digest<std::int64_t>(trials, [](const TrialSummary& t) { return std::int64_t(t.gaps.steps); })},
            {"best_gap", digest<double>(trials, [](const TrialSummary& t) { return t.gaps.best_gap; })},
            {"best_step", digest<std::int64_t>(trials, [](const TrialSummary& t) { return t.gaps.best_step; })},
            {"avg_gap", digest<double>(trials, [](const TrialSummary& t) { return t.avg_gap; })},
            {"rate", digest<double>(trials, [](const TrialSummary& t) { return t.gaps.rate; })}};
}

TEST(Golden, SeededSweepsGiveTheCommittedBits) {
    EXPECT_EQ(sha256_hex({'a', 'b', 'c'}), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::vector<Case> cases = read_cases();
    ASSERT_FALSE(cases.empty()) << "no cases in " << QUARNEL_GOLDEN_SWEEPS;
    std::size_t checked = 0;
    for (const Case& c : cases) {
        if (c.at("kind") != "scattered") continue;  // the other kinds cut the same engine's trials into slices
        const Matrix a = game_of(c);
        const Optimizer optimizer = optimizer_of(c, a);
        const UniformRange band = UniformRange::create_or_panic(std::strtod(c.at("inner").c_str(), nullptr),
                                                                std::strtod(c.at("outer").c_str(), nullptr));
        const BatchPlan plan{PerturbedBase{MatrixView::of(a), band, key_of(c)}, &optimizer, std::stoull(c.at("steps"))};
        const FullSummary reduction{std::strtod(c.at("cutoff").c_str(), nullptr)};
        const std::uint64_t trials = std::stoull(c.at("trials"));
        // A case that fails at trial `fails` has the digests of the trials before it.
        const auto fails = c.find("fails");
        const std::uint64_t digested = fails == c.end() ? trials : std::stoull(fails->second);
        if (fails != c.end()) {
            EXPECT_NE(panic_message([&] { run_trials(plan, reduction, 0, trials); }), "<no panic>") << c.at("case");
        }
        const std::map<std::string, std::string> got = digests(run_trials(plan, reduction, 0, digested));
        for (const auto& [name, value] : c) {
            if (name.rfind(kDigest, 0) != 0) continue;
            const std::string column = name.substr(std::strlen(kDigest));
            ASSERT_TRUE(got.count(column)) << c.at("case") << ": no column " << column;
            EXPECT_EQ(got.at(column), value) << c.at("case") << ": " << column;
        }
        ++checked;
    }
    EXPECT_GT(checked, 0u);
}

}  // namespace
}  // namespace quarnel
