// Writing a file safely on Windows: a new file with a unique name beside the target, flushed to
// disk, then moved over the target with write-through.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <atomic>
#include <string>

#include "settings_file/safe_write_platform.h"

namespace settings_file::platform {

namespace {

bool refuse(std::string* error, const std::string& text)
{
    if (error != nullptr) {
        *error = text;
    }
    return false;
}

std::string system_message(DWORD code)
{
    char* text = nullptr;
    const DWORD n =
        FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = n > 0 && text != nullptr ? std::string(text, n) : "error " + std::to_string(code);
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.')) {
        message.pop_back();
    }
    return message;
}

bool write_all(HANDLE h, std::string_view bytes)
{
    while (!bytes.empty()) {
        const DWORD chunk = bytes.size() > 0x40000000u ? 0x40000000u : static_cast<DWORD>(bytes.size());
        DWORD written = 0;
        if (!WriteFile(h, bytes.data(), chunk, &written, nullptr) || written == 0) {
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

} // namespace

bool replace_file(const std::filesystem::path& target, const std::string& shown, std::string_view bytes,
                  std::string* error)
{
    const std::filesystem::path dir = target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    // Windows has no mkstemp: a name of the process, a counter and the clock, created only if no
    // file has it yet.
    static std::atomic<unsigned> counter{0};
    std::filesystem::path temp;
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; ++attempt) {
        temp =
            dir / (L"." + target.filename().wstring().substr(0, 150) + L"." + std::to_wstring(GetCurrentProcessId()) +
                   L"-" + std::to_wstring(counter++) + L"-" + std::to_wstring(GetTickCount64()) + L".tmp");
        h = CreateFileW(temp.wstring().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS &&
            GetLastError() != ERROR_ALREADY_EXISTS) {
            break;
        }
    }
    if (h == INVALID_HANDLE_VALUE) {
        return refuse(error, "cannot create a temporary file in " + directory_text(target) + ": " +
                                 system_message(GetLastError()));
    }
    if (!write_all(h, bytes) || !FlushFileBuffers(h)) {
        const DWORD code = GetLastError();
        CloseHandle(h);
        DeleteFileW(temp.wstring().c_str());
        return refuse(error, "cannot write " + shown + ": " + system_message(code));
    }
    if (!CloseHandle(h)) {
        const DWORD code = GetLastError();
        DeleteFileW(temp.wstring().c_str());
        return refuse(error, "cannot write " + shown + ": " + system_message(code));
    }
    if (!MoveFileExW(temp.wstring().c_str(), target.wstring().c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD code = GetLastError();
        DeleteFileW(temp.wstring().c_str());
        return refuse(error, "cannot replace " + shown + ": " + system_message(code));
    }
    return true;
}

} // namespace settings_file::platform
