#include "platform/StdRandomSource.h"

#include <bit>
#include <cstdint>

namespace drovanta::platform {

void StdRandomSource::seed(float seed)
{
    // Seeded from the float's bits, so that starts a fraction of a second apart
    // draw differently.
    m_engine.seed(std::bit_cast<std::uint32_t>(seed));
}

float StdRandomSource::next()
{
    // generate_canonical can round up to 1.0 for float; draw a double and cut.
    const double r = std::generate_canonical<double, 32>(m_engine);
    const float f = static_cast<float>(r);
    return f < 1.0f ? f : 0.0f;
}

} // namespace drovanta::platform
