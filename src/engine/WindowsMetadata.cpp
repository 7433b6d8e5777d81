#include "engine/WindowsMetadata.h"

#include <aclapi.h>

namespace drovanta::engine::windows {

FILE_BASIC_INFO basicOf(const BY_HANDLE_FILE_INFORMATION &info)
{
    const auto value = [](const FILETIME &time) {
        LARGE_INTEGER result;
        result.LowPart = time.dwLowDateTime;
        result.HighPart = static_cast<LONG>(time.dwHighDateTime);
        return result;
    };
    FILE_BASIC_INFO basic{};
    basic.CreationTime = value(info.ftCreationTime);
    basic.LastAccessTime = value(info.ftLastAccessTime);
    basic.LastWriteTime = value(info.ftLastWriteTime);
    basic.FileAttributes = info.dwFileAttributes;
    return basic;
}

bool hasOwnAccessRules(HANDLE handle)
{
    PACL list = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &list, nullptr,
                          &descriptor)
        != ERROR_SUCCESS)
        return false;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    bool own = ::GetSecurityDescriptorControl(descriptor, &control, &revision) && (control & SE_DACL_PROTECTED);
    for (DWORD index = 0; list != nullptr && !own && index < list->AceCount; ++index) {
        void *entry = nullptr;
        own = ::GetAce(list, index, &entry) && !(static_cast<const ACE_HEADER *>(entry)->AceFlags & INHERITED_ACE);
    }
    ::LocalFree(descriptor);
    return own;
}

bool hasAlternateStreams(HANDLE handle)
{
    alignas(FILE_STREAM_INFO) char buffer[1024];
    if (::GetFileInformationByHandleEx(handle, FileStreamInfo, buffer, sizeof buffer))
        return reinterpret_cast<const FILE_STREAM_INFO *>(buffer)->NextEntryOffset != 0;
    return ::GetLastError() == ERROR_MORE_DATA; // more than fits: more than the main stream
}

} // namespace drovanta::engine::windows
