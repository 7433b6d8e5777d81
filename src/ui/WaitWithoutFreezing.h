#pragma once

#include "engine/CopyEngine.h"

#include <functional>

class QWidget;

namespace drovanta::shell {

// Runs `operation` on a worker thread while the UI thread waits in an event
// loop: the window repaints and the close box works. User input aimed at
// `stopControl` (a click on it, or a key while it has the focus) is handled
// at once, so a stop request reaches a run while it copies; every other click
// and key is held back and delivered, in its order, the next time the
// program processes all pending events. An exception of the operation is
// rethrown here.
engine::Result waitWithoutFreezing(const std::function<engine::Result()> &operation, QWidget *stopControl);

} // namespace drovanta::shell
