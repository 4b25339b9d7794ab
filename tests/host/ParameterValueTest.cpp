// Parameter values that are not numbers or lie outside their range, as a faulty host or a
// damaged saved state hands them over, through both module formats.

#include "HostTestSupport.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct Range
{
    const char* symbol;
    double min, max;
};

// As the host sees them: Bypass through DPF's bypass designation.
const Range kRanges[] = {
    { "dist", 0.0, 1.0 }, { "tone", 0.0, 1.0 }, { "level", -24.0, 36.0 },
    { "blend", 0.0, 1.0 }, { "dpf_bypass", 0.0, 1.0 }, { "gate", -80.0, -30.0 },
};
constexpr uint32_t kCount = 6;

// Values away from the defaults, so that a value kept and a value reset can be told apart.
const std::vector<std::pair<uint32_t, double>> kCurrent = {
    { 0, 0.3 }, { 1, 0.7 }, { 2, -6.0 }, { 3, 0.6 }, { 4, 1.0 }, { 5, -50.0 },
};

class ParameterValues : public ::testing::TestWithParam<Format>
{
};

double clampTo(const Range& r, const double v)
{
    return v < r.min ? r.min : v > r.max ? r.max : v;
}

void expectFiniteAndInRange(HostedPlugin& p)
{
    for (uint32_t i = 0; i < kCount; ++i)
    {
        const double v = p.value(i);
        EXPECT_TRUE(std::isfinite(v)) << kRanges[i].symbol << " is " << v;
        EXPECT_GE(v, kRanges[i].min) << kRanges[i].symbol;
        EXPECT_LE(v, kRanges[i].max) << kRanges[i].symbol;
    }
}

// The state text is a run of NUL-ended fields; a parameter's value follows its symbol.
std::vector<uint8_t> withValueText(const std::vector<uint8_t>& state, const std::string& symbol,
                                   const std::string& text)
{
    std::string s(state.begin(), state.end());
    const std::string key = '\0' + symbol + '\0';
    const size_t at = s.find(key);
    if (at == std::string::npos)
        throw std::runtime_error("state lacks " + symbol);
    const size_t from = at + key.size();
    s.replace(from, s.find('\0', from) - from, text);
    return std::vector<uint8_t>(s.begin(), s.end());
}

} // namespace

TEST_P(ParameterValues, NotANumberIsIgnoredAndNumbersAreHeldToTheRange)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    std::unique_ptr<HostedPlugin> p = HostedPlugin::create(GetParam());
    for (uint32_t i = 0; i < kCount; ++i)
    {
        const Range& r = kRanges[i];
        const double current = kCurrent[i].second;
        // Bypass is a switch: hosts and DPF hand it over as 0 or 1.
        const double inside = i == 4 ? 0.0 : r.min + 0.125 * (r.max - r.min);
        const struct
        {
            const char* name;
            double value;
            double expected;
        } cases[] = {
            { "in range", inside, inside },
            { "nan", nan, current },
            { "+inf", inf, r.max },
            { "-inf", -inf, r.min },
            { "below", r.min - 0.5 * (r.max - r.min), r.min },
            { "above", r.max + 0.5 * (r.max - r.min), r.max },
        };
        for (const auto& c : cases)
        {
            SCOPED_TRACE(std::string(r.symbol) + " " + c.name);
            p->setValues({ { i, current } });
            p->setValues({ { i, c.value } });
            EXPECT_NEAR(p->value(i), c.expected, 1e-6 * (r.max - r.min));
        }
    }
    expectFiniteAndInRange(*p);

    // Level and Blend held at their top: loud, but no louder than +36 dB.
    p->setValues({ { 2, inf }, { 3, inf } });
    p->activate(48000);
    const Stereo out = render(*p, sineSignal(48000, 0.1, 110.0, 0.5f), { 512 });
    EXPECT_TRUE(allFinite(out.l));
    EXPECT_LT(rms(out.l, 0, out.size()), 0.5 * std::pow(10.0, 36.0 / 20.0));
}

// A well-formed saved state with damaged values. The layer may refuse it as a whole or pass
// the values on (text that is not a number may reach the plug-in as NaN or as 0); either
// way each value is the one held before, or what the text says held to the range.
TEST_P(ParameterValues, DamagedValuesInASavedStateLeaveFiniteValuesInRange)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Damage
    {
        uint32_t index;
        const char* text;
        double applied; // NaN: the text is not a number
    };
    const std::vector<std::vector<Damage>> rows = {
        { { 5, "junk", nan }, { 0, "nan", nan } },
        { { 2, "100", 36.0 }, { 3, "-inf", 0.0 }, { 1, "inf", 1.0 } },
        { { 5, "0", -30.0 }, { 4, "7", 1.0 }, { 0, "-1e30", 0.0 } },
        { { 0, "", nan }, { 2, "-nan", nan } },
    };
    // The values the saved state holds, none equal to those of kCurrent.
    const std::vector<std::pair<uint32_t, double>> saved = {
        { 0, 0.9 }, { 1, 0.2 }, { 2, 3.0 }, { 3, 0.4 }, { 4, 0.0 }, { 5, -40.0 },
    };
    const std::vector<uint8_t> good = [&] {
        std::unique_ptr<HostedPlugin> s = HostedPlugin::create(GetParam());
        s->setValues(saved);
        return s->saveState();
    }();

    for (size_t k = 0; k < rows.size(); ++k)
    {
        SCOPED_TRACE(k);
        std::vector<uint8_t> state = good;
        for (const Damage& d : rows[k])
            state = withValueText(state, kRanges[d.index].symbol, d.text);

        std::unique_ptr<HostedPlugin> p = HostedPlugin::create(GetParam());
        p->setValues(kCurrent);
        p->loadState(state); // either answer will do
        expectFiniteAndInRange(*p);

        for (uint32_t i = 0; i < kCount; ++i)
        {
            const double v = p->value(i);
            const double before = kCurrent[i].second;
            double applied = saved[i].second;
            bool notANumber = false;
            for (const Damage& d : rows[k])
            {
                if (d.index == i)
                {
                    applied = d.applied;
                    notANumber = std::isnan(d.applied);
                }
            }
            const double tolerance = 1e-6 * (kRanges[i].max - kRanges[i].min);
            const bool kept = std::fabs(v - before) <= tolerance;
            // Text that is not a number may also be read as 0.
            const bool took = notANumber ? std::fabs(v - clampTo(kRanges[i], 0.0)) <= tolerance
                                         : std::fabs(v - applied) <= tolerance;
            EXPECT_TRUE(kept || took) << kRanges[i].symbol << " is " << v;
        }

        p->activate(48000);
        const Stereo out = render(*p, bassSignal(48000, 0.1, 0.5f, 25), { 256 });
        EXPECT_TRUE(allFinite(out.l));
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, ParameterValues, ::testing::Values(Format::Clap, Format::Vst3),
                         [](const ::testing::TestParamInfo<Format>& p) { return formatName(p.param); });
