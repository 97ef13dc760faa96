#include <cstdint>

#include <gtest/gtest.h>

#include "explore/batch.hpp"
#include "explore/random.hpp"

namespace quarnel {
namespace {

// Known answers of Philox4x64-10 (those published with the algorithm; numpy.random.Philox
// gives the same).
TEST(Philox, KnownAnswers) {
    EXPECT_EQ(philox4x64_10({0, 0, 0, 0}, SweepKey{{0, 0}}),
              (PhiloxBlock{0x16554d9eca36314c, 0xdb20fe9d672d0fdc, 0xd7e772cee186176b, 0x7e68b68aec7ba23b}));
    EXPECT_EQ(philox4x64_10({0x243f6a8885a308d3, 0x13198a2e03707344, 0xa4093822299f31d0, 0x082efa98ec4e6c89},
                            SweepKey{{0x452821e638d01377, 0xbe5466cf34e90c6c}}),
              (PhiloxBlock{0xa528f45403e61d95, 0x38c72dbd566e9788, 0xa5a1610e72fd18b5, 0x57bd43b5e52b7fe6}));
}

// A sweep's key bytes, trial 7's stream and the perturbation drawn from it, pinned: a change
// of any of them would silently change every published sweep.
TEST(TrialStreams, GoldenKeyStreamAndPerturbation) {
    const unsigned char bytes[16] = {0xef, 0xcd, 0xab, 0x89, 0x67, 0x45, 0x23, 0x01,
                                     0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe};
    const SweepKey key = SweepKey::from_bytes(bytes);
    EXPECT_EQ(key.words[0], 0x0123456789abcdefu);
    EXPECT_EQ(key.words[1], 0xfedcba9876543210u);
    TrialStream stream(key, 7);
    for (const std::uint64_t word : {0x6e8ea426bd522856u, 0xd017a3b5d1c5375du, 0x33df57095658e672u, 0x2ad3969372a40767u,
                                     0xbe0077c777cbfc20u, 0x37821034af232f73u})
        EXPECT_EQ(stream.next_u64(), word);
    // [0.5, 1.0) narrows its scale to the double below 0.5 (0.5 + 0.5 * u could round to 1.0).
    Matrix perturbation = Matrix::zeros(2, 2);
    draw_trial_perturbation(perturbation, UniformRange::create_or_panic(0.5, 1.0), key, 7);
    EXPECT_EQ(perturbation.data,
              (Vector{-0x1.6e8ea426bd522p-1, 0x1.33df57095658ep-1, 0x1.be0077c777cbfp-1, 0x1.fa96a20549c16p-1}));
}

}  // namespace
}  // namespace quarnel
