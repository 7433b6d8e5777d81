#include "platform/windows/WindowsDriveSource.h"

#include "platform/Failure.h"
#include "platform/windows/WideText.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <string_view>

namespace drovanta::platform {

namespace {

std::string systemMessage(DWORD error)
{
    wchar_t *buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
        0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    std::wstring message = length > 0 && buffer ? std::wstring(buffer, length) : std::wstring();
    if (buffer)
        ::LocalFree(buffer);
    while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n' || message.back() == L' '))
        message.pop_back();
    if (message.empty())
        return "error " + std::to_string(error);
    return utf8Text(message);
}

// Asking an empty floppy or CD drive about its volume makes Windows offer a
// "no disk in drive" dialog unless the thread has said it handles that itself.
class CriticalErrorsSilenced final {
public:
    CriticalErrorsSilenced()
    {
        m_restore = ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &m_previous) != FALSE;
    }
    ~CriticalErrorsSilenced()
    {
        if (m_restore)
            ::SetThreadErrorMode(m_previous, nullptr);
    }
    CriticalErrorsSilenced(const CriticalErrorsSilenced &) = delete;
    CriticalErrorsSilenced &operator=(const CriticalErrorsSilenced &) = delete;

private:
    DWORD m_previous = 0;
    bool m_restore = false;
};

// The volume GUID path ("\\?\Volume{...}\") of the volume at a root, or
// empty when Windows gives none (a network or substituted drive).
std::string volumeGuidPath(const std::wstring &root)
{
    wchar_t name[MAX_PATH + 1] = {};
    if (!::GetVolumeNameForVolumeMountPointW(root.c_str(), name, MAX_PATH + 1))
        return {};
    return utf8Text(name);
}

// The serial number of the volume at a root, as "serial 1A2B-3C4D"; empty
// when the volume cannot be read.
std::string volumeSerial(const std::wstring &root)
{
    DWORD serial = 0;
    if (!::GetVolumeInformationW(root.c_str(), nullptr, 0, &serial, nullptr, nullptr, nullptr, 0))
        return {};
    char text[32];
    std::snprintf(text, sizeof text, "serial %04lX-%04lX", static_cast<unsigned long>(serial >> 16),
                  static_cast<unsigned long>(serial & 0xffff));
    return text;
}

std::wstring rootOf(wchar_t letter)
{
    return std::wstring{letter, L':', L'\\'};
}

// The volume at a root now: its GUID path and serial number.
std::string mountIdentityAt(const std::wstring &root)
{
    const CriticalErrorsSilenced silenced;
    const std::string serial = volumeSerial(root);
    if (serial.empty())
        return {};
    return volumeGuidPath(root) + " " + serial;
}

class WindowsDrive final : public Drive {
public:
    explicit WindowsDrive(wchar_t letter) : m_letter(letter), m_root(rootOf(letter)) {}

    std::string letter() const override { return std::string(1, static_cast<char>(m_letter)); }

    DriveType type() const override
    {
        switch (::GetDriveTypeW(m_root.c_str())) {
        case DRIVE_REMOVABLE:
            return DriveType::Removable;
        case DRIVE_FIXED:
            return DriveType::Fixed;
        case DRIVE_REMOTE:
            return DriveType::Network;
        case DRIVE_CDROM:
            return DriveType::CdRom;
        case DRIVE_RAMDISK:
            return DriveType::RamDisk;
        default: // DRIVE_UNKNOWN, DRIVE_NO_ROOT_DIR
            return DriveType::Unknown;
        }
    }

    bool isReady() const override
    {
        const CriticalErrorsSilenced silenced;
        return ::GetVolumeInformationW(m_root.c_str(), nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0) != FALSE;
    }

    std::string volumeName() const override
    {
        const CriticalErrorsSilenced silenced;
        wchar_t label[MAX_PATH + 1] = {};
        if (!::GetVolumeInformationW(m_root.c_str(), label, MAX_PATH + 1, nullptr, nullptr, nullptr, nullptr, 0))
            throw notReady(::GetLastError());
        return utf8Text(label);
    }

    std::uint64_t availableSpace() const override { return space().available; }
    std::uint64_t totalSize() const override { return space().total; }
    std::uint64_t freeSpace() const override { return space().free; }

    DriveIdentity identity() const override
    {
        const CriticalErrorsSilenced silenced;
        const std::string serial = volumeSerial(m_root);
        if (serial.empty())
            throw notReady(::GetLastError());
        const std::string guidPath = volumeGuidPath(m_root);
        DriveIdentity identity;
        identity.volume = guidPath.empty() ? serial : guidPath;
        identity.mount = guidPath + " " + serial;
        return identity;
    }

private:
    struct Space {
        std::uint64_t available = 0;
        std::uint64_t total = 0;
        std::uint64_t free = 0;
    };

    Space space() const
    {
        const CriticalErrorsSilenced silenced;
        ULARGE_INTEGER available{};
        ULARGE_INTEGER total{};
        ULARGE_INTEGER freeBytes{};
        if (!::GetDiskFreeSpaceExW(m_root.c_str(), &available, &total, &freeBytes))
            throw notReady(::GetLastError());
        return {available.QuadPart, total.QuadPart, freeBytes.QuadPart};
    }

    Failure notReady(DWORD error) const
    {
        return Failure("Drive " + letter() + ": is not ready: " + systemMessage(error));
    }

    wchar_t m_letter;
    std::wstring m_root;
};

} // namespace

bool WindowsDriveSource::stillMounted(const std::string &letter, const std::string &mount) const
{
    if (letter.size() != 1 || mount.empty())
        return false;
    return mountIdentityAt(rootOf(static_cast<wchar_t>(static_cast<unsigned char>(letter[0])))) == mount;
}

bool WindowsDriveSource::awaitsMount(const std::string &) const
{
    return false;
}

std::vector<std::unique_ptr<Drive>> WindowsDriveSource::drives() const
{
    // The list can grow between asking for its size and reading it (a USB
    // stick plugged in); ask again until it fits.
    std::wstring roots;
    DWORD length = ::GetLogicalDriveStringsW(0, nullptr);
    for (;;) {
        if (length == 0)
            throw Failure("Cannot list the drives: " + systemMessage(::GetLastError()));
        roots.assign(length, L'\0');
        const DWORD written = ::GetLogicalDriveStringsW(length, roots.data());
        if (written == 0)
            throw Failure("Cannot list the drives: " + systemMessage(::GetLastError()));
        if (written < length) {
            roots.resize(written);
            break;
        }
        length = written + 1;
    }

    // "A:\<nul>C:\<nul>D:\<nul>": one root per letter, already in ascending order.
    std::vector<std::unique_ptr<Drive>> drives;
    std::size_t start = 0;
    while (start < roots.size()) {
        std::size_t end = roots.find(L'\0', start);
        if (end == std::wstring::npos)
            end = roots.size();
        if (end > start)
            drives.push_back(std::make_unique<WindowsDrive>(roots[start]));
        start = end + 1;
    }
    return drives;
}

} // namespace drovanta::platform
