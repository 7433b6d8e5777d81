#pragma once

#include "Fakes.h"

#include "platform/Services.h"
#include "platform/StdFileOperations.h"
#include "ui/Form1.h"

#include <gtest/gtest.h>

#include <QString>

#include <memory>
#include <ostream>

// Lets GoogleTest print QStrings in failure messages.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString &text, std::ostream *os)
{
    *os << '"' << text.toStdString() << '"';
}
QT_END_NAMESPACE

namespace drovanta::testing {

// Installs fakes as the process's services for the length of one test, and
// restores the previous services afterwards.
class FakeServices {
public:
    FakeServices();
    ~FakeServices();

    FakeApplication application;
    FakeClock clock;
    FakeDriveSource drives;
    platform::StdFileOperations files;
    FakeMessageBoxes messageBoxes;
    FakeRandom random;
    FakeSettings settings;
    FakeUrlOpener urlOpener;

private:
    platform::Services m_saved;
};

// A test with fake services and a fresh main window (not yet loaded).
class UiTest : public ::testing::Test {
protected:
    void SetUp() override { form = std::make_unique<shell::Form1>(); }
    void TearDown() override { form.reset(); }

    // Creates the record lists as start-up does, without the rest of it.
    void createRecordLists();

    FakeServices fakes;
    std::unique_ptr<shell::Form1> form;
};

} // namespace drovanta::testing
