#pragma once

// Small fakes of the platform interfaces, so the window's logic runs in tests
// without a display, a browser, real drives or the user's settings.

#include "platform/Application.h"
#include "platform/Clock.h"
#include "platform/DriveSource.h"
#include "platform/Failure.h"
#include "platform/MessageBoxes.h"
#include "platform/RandomSource.h"
#include "platform/SettingsBackend.h"
#include "platform/UrlOpener.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace drovanta::testing {

class FakeApplication final : public platform::Application {
public:
    std::string programFolder() const override { return folder; }
    std::string title() const override { return appTitle; }
    void setTitle(const std::string &title) override { appTitle = title; }
    void exitNow(int code) override { exitCodes.push_back(code); }

    std::string folder = "/nonexistent-program-folder";
    std::string appTitle = "drovanta";
    std::vector<int> exitCodes;
};

class FakeClock final : public platform::Clock {
public:
    platform::LocalDate today() const override { return date; }
    double secondsSinceMidnight() const override { return seconds; }

    platform::LocalDate date{2021, 8, 31};
    double seconds = 3600.5;
};

class FakeRandom final : public platform::RandomSource {
public:
    void seed(float value) override { seeds.push_back(value); }
    float next() override { return value; }

    float value = 0.5f; // draws 51
    std::vector<float> seeds;
};

class FakeUrlOpener final : public platform::UrlOpener {
public:
    void open(const std::string &url) override
    {
        if (fail)
            throw Failure("File not found");
        opened.push_back(url);
    }

    bool fail = false;
    std::vector<std::string> opened;
};

class FakeMessageBoxes final : public platform::MessageBoxes {
public:
    void show(const platform::MessageBox &box) override
    {
        shown.push_back(box);
        if (onShow)
            onShow(box);
    }
    bool ask(const platform::MessageBox &box) override
    {
        show(box);
        return answer;
    }
    bool answer = false; // what ask() answers

    std::vector<std::string> texts() const
    {
        std::vector<std::string> out;
        for (const auto &box : shown)
            out.push_back(box.text);
        return out;
    }

    std::vector<platform::MessageBox> shown;
    std::function<void(const platform::MessageBox &)> onShow;
};

class FakeSettings final : public platform::SettingsBackend {
public:
    std::optional<std::string> read(const std::string &application, const std::string &section,
                                    const std::string &key) const override
    {
        const auto it = values.find(application + "/" + section + "/" + key);
        if (it == values.end())
            return std::nullopt;
        return it->second;
    }
    void write(const std::string &application, const std::string &section, const std::string &key,
               const std::string &value) override
    {
        values[application + "/" + section + "/" + key] = value;
        writes.push_back(key + "=" + value);
    }

    std::optional<std::string> get(const std::string &key) const { return read("Corvane", "Drovanta", key); }
    void set(const std::string &key, const std::string &value) { values["Corvane/Drovanta/" + key] = value; }

    std::map<std::string, std::string> values;
    std::vector<std::string> writes;
};

struct FakeDriveData {
    std::string letter;
    platform::DriveType type = platform::DriveType::Fixed;
    bool ready = true;
    std::string label;
    std::uint64_t available = 0;
    std::uint64_t total = 0;
    std::uint64_t free = 0;
    // Empty: named after the letter, so that each drive is a filesystem of its own.
    std::string volumeId{};
    std::string mountId{};

    platform::DriveIdentity identity() const
    {
        return {volumeId.empty() ? "volume " + letter : volumeId, mountId.empty() ? "mount " + letter : mountId};
    }
};

class FakeDrive final : public platform::Drive {
public:
    explicit FakeDrive(const FakeDriveData &data) : m_data(data) {}
    std::string letter() const override { return m_data.letter; }
    platform::DriveType type() const override { return m_data.type; }
    bool isReady() const override { return m_data.ready; }
    std::string volumeName() const override { return m_data.label; }
    std::uint64_t availableSpace() const override { return m_data.available; }
    std::uint64_t totalSize() const override { return m_data.total; }
    std::uint64_t freeSpace() const override { return m_data.free; }
    platform::DriveIdentity identity() const override { return m_data.identity(); }

private:
    FakeDriveData m_data;
};

class FakeDriveSource final : public platform::DriveSource {
public:
    std::vector<std::unique_ptr<platform::Drive>> drives() const override
    {
        if (fail)
            throw Failure("Device unavailable");
        std::vector<std::unique_ptr<platform::Drive>> out;
        for (const auto &data : list)
            out.push_back(std::make_unique<FakeDrive>(data));
        return out;
    }

    // Still mounted while `list` holds a ready drive at the letter with that mount identity.
    bool stillMounted(const std::string &letter, const std::string &mount) const override
    {
        for (const auto &data : list)
            if (data.letter == letter)
                return data.ready && data.identity().mount == mount;
        return false;
    }

    bool awaitsMount(const std::string &folder) const override { return awaiting.count(folder) != 0; }

    std::vector<FakeDriveData> list;
    std::set<std::string> awaiting;
    bool fail = false;
};

} // namespace drovanta::testing
