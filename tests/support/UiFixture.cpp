#include "UiFixture.h"

#include "core/drives/RecordList.h"

namespace drovanta::testing {

FakeServices::FakeServices() : m_saved(platform::services())
{
    auto &services = platform::services();
    services.application = &application;
    services.clock = &clock;
    services.drives = &drives;
    services.files = &files;
    services.messageBoxes = &messageBoxes;
    services.random = &random;
    services.settings = &settings;
    services.urlOpener = &urlOpener;
}

FakeServices::~FakeServices()
{
    platform::services() = m_saved;
}

void UiTest::createRecordLists()
{
    form->DriveRecords1 = std::make_unique<drives::RecordList>();
    form->DriveRecords2 = std::make_unique<drives::RecordList>();
}

} // namespace drovanta::testing
