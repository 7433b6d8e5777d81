#include "core/shell/BuildOptions.h"

#if !defined(DROVANTA_HOME_PAGE) || !defined(DROVANTA_SUPPORT_ADDRESS)
#error "DROVANTA_HOME_PAGE and DROVANTA_SUPPORT_ADDRESS are set by the target that builds this file"
#endif

namespace drovanta::shell {

std::string_view homePageAddress()
{
    return DROVANTA_HOME_PAGE;
}

std::string_view supportAddress()
{
    return DROVANTA_SUPPORT_ADDRESS;
}

} // namespace drovanta::shell
