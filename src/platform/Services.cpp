#include "platform/Services.h"

namespace drovanta::platform {

Services &services()
{
    static Services instance;
    return instance;
}

} // namespace drovanta::platform
