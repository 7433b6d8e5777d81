#include "platform/qt/QtUrlOpener.h"

#include "platform/Failure.h"

#include <QDesktopServices>
#include <QUrl>

namespace drovanta::platform {

void QtUrlOpener::open(const std::string &url)
{
    const QUrl address(QString::fromStdString(url), QUrl::StrictMode);
    if (!address.isValid() || !QDesktopServices::openUrl(address))
        throw Failure("Cannot open " + url + " in the web browser");
}

} // namespace drovanta::platform
