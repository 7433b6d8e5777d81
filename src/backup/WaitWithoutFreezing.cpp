#include "backup/WaitWithoutFreezing.h"

#include <QEventLoop>
#include <QMetaObject>

#include <exception>
#include <thread>

namespace drovanta::backup {

engine::Result waitWithoutFreezing(const std::function<engine::Result()> &operation)
{
    QEventLoop loop;
    engine::Result result;
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            result = operation();
        } catch (...) {
            failure = std::current_exception();
        }
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    worker.join();
    if (failure)
        std::rethrow_exception(failure);
    return result;
}

} // namespace drovanta::backup
