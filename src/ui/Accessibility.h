#pragma once

class QWidget;

namespace drovanta::shell {

// What a screen reader receives from the window, where Qt's own interfaces
// fall short: on Linux a drop-down list is named after its current entry,
// so the drive lists get interfaces that answer with their accessible names;
// and the window's children leave out the ones marked with
// hideFromScreenReaders(). Installed once, before the window's first
// interface is asked for.
void installAccessibility();

// Keeps `widget` out of the accessibility tree (the window's hidden path
// holders, which a screen reader would announce as editable fields).
void hideFromScreenReaders(QWidget *widget);

} // namespace drovanta::shell
