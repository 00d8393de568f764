#include "tools/reference_engine/local_store.h"

#include <shlobj.h>

#include <algorithm>

namespace {

constexpr wchar_t kStoreVariable[] = L"CORVANEL_STORE";

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Appends the parts of a key, each checked, with backslashes between them. A
// single trailing separator marks a folder; any other empty part is invalid.
bool AppendKey(const std::wstring& key, std::wstring* path, bool* folderKey) {
    std::size_t start = 0;
    while (start < key.size()) {
        std::size_t end = start;
        while (end < key.size() && !IsSeparator(key[end])) ++end;
        const std::wstring part = key.substr(start, end - start);
        if (!IsValidName(part)) return false;
        *path += L'\\';
        *path += part;
        if (end + 1 == key.size()) *folderKey = true;  // "2009/" names the folder 2009
        start = end + 1;
    }
    return true;
}

DATE ToOleDate(const FILETIME& time) {
    SYSTEMTIME system = {};
    DATE date = 0.0;
    if (FileTimeToSystemTime(&time, &system)) SystemTimeToVariantTime(&system, &date);
    return date;
}

bool IsDotEntry(const wchar_t* name) {
    return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0;
}

}  // namespace

std::wstring StoreRootFromSettings() {
    wchar_t buffer[MAX_PATH * 2];
    std::wstring root;
    const DWORD length = GetEnvironmentVariableW(kStoreVariable, buffer, ARRAYSIZE(buffer));
    if (length > 0 && length < ARRAYSIZE(buffer)) {
        root = buffer;
    } else if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, buffer))) {
        root = std::wstring(buffer) + L"\\Corvanel\\Store";
    } else {
        root = L"C:\\Corvanel\\Store";
    }
    while (root.size() > 3 && IsSeparator(root.back())) root.pop_back();
    SHCreateDirectoryExW(nullptr, root.c_str(), nullptr);  // exists already: fine
    return root;
}

bool IsValidName(const std::wstring& name) {
    if (name.empty() || name == L"." || name == L"..") return false;
    if (name.back() == L'.' || name.back() == L' ') return false;
    for (wchar_t c : name) {
        if (c < 0x20 || wcschr(L"<>:\"/\\|?*", c) != nullptr) return false;
    }
    return true;
}

bool Widen(const char* text, std::wstring* wide) {
    wide->clear();
    if (text == nullptr) return false;
    if (*text == '\0') return true;
    const int units = MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, nullptr, 0);
    if (units <= 1) return false;
    wide->resize(static_cast<std::size_t>(units));
    if (MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, &(*wide)[0], units) != units) return false;
    wide->pop_back();  // the terminator
    return true;
}

bool Locate(const std::wstring& root, const RemotePath& rp, StoreLocation* where) {
    std::wstring account, bucket, key;
    if (!Widen(rp.account, &account) || !Widen(rp.bucket, &bucket) || !Widen(rp.key, &key)) {
        return false;
    }
    *where = StoreLocation{root, PathLevel::Root, false, std::wstring()};
    if (account.empty()) return bucket.empty() && key.empty();
    if (!IsValidName(account)) return false;
    where->path += L'\\' + account;
    where->depth = PathLevel::Account;
    if (bucket.empty()) return key.empty();
    if (!IsValidName(bucket)) return false;
    where->path += L'\\' + bucket;
    where->depth = PathLevel::Bucket;
    where->bucketPath = where->path;
    if (key.empty()) return true;
    where->depth = PathLevel::Object;
    return AppendKey(key, &where->path, &where->folderKey);
}

bool ListDirectory(const std::wstring& directory, LONG folderKind,
                   std::vector<StoreEntry>* entries) {
    entries->clear();
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    do {
        if (IsDotEntry(found.cFileName)) continue;
        StoreEntry entry;
        entry.name = found.cFileName;
        entry.date = ToOleDate(found.ftLastWriteTime);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            entry.kind = folderKind;
        } else {
            entry.size = (static_cast<LONGLONG>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
        }
        entries->push_back(std::move(entry));
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(entries->begin(), entries->end(), [](const StoreEntry& a, const StoreEntry& b) {
        return _wcsicmp(a.name.c_str(), b.name.c_str()) < 0;
    });
    return true;
}

bool IsDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring FreeName(const std::wstring& directory, const wchar_t* stem) {
    for (int n = 1;; ++n) {
        std::wstring name = stem + (L"-" + std::to_wstring(n));
        if (!Exists(directory + L'\\' + name)) return name;
    }
}

std::wstring ParentOf(const std::wstring& path) { return path.substr(0, path.rfind(L'\\')); }

bool MakeDirectories(const std::wstring& base, const std::wstring& path) {
    for (std::size_t at = path.find(L'\\', base.size() + 1); at != std::wstring::npos;
         at = path.find(L'\\', at + 1)) {
        const std::wstring step = path.substr(0, at);
        if (!IsDirectory(step) && !CreateDirectoryW(step.c_str(), nullptr)) return false;
    }
    return IsDirectory(path) || CreateDirectoryW(path.c_str(), nullptr);
}

bool CopyTree(const std::wstring& source, const std::wstring& target) {
    std::vector<StoreEntry> entries;
    if (!ListDirectory(source, kFolderKind, &entries)) return false;
    if (!IsDirectory(target) && !CreateDirectoryW(target.c_str(), nullptr)) return false;
    for (const StoreEntry& entry : entries) {
        const std::wstring from = source + L'\\' + entry.name;
        const std::wstring to = target + L'\\' + entry.name;
        const bool copied = entry.kind == kFileKind ? CopyFileW(from.c_str(), to.c_str(), FALSE) != 0
                                                    : CopyTree(from, to);
        if (!copied) return false;
    }
    return true;
}

bool RemoveTree(const std::wstring& directory) {
    std::vector<StoreEntry> entries;
    if (!ListDirectory(directory, kFolderKind, &entries)) return false;
    for (const StoreEntry& entry : entries) {
        const std::wstring path = directory + L'\\' + entry.name;
        const bool removed = entry.kind == kFileKind ? DeleteFileW(path.c_str()) != 0 : RemoveTree(path);
        if (!removed) return false;
    }
    return RemoveDirectoryW(directory.c_str()) != 0;
}

void Summarize(const std::wstring& directory, TreeSummary* summary) {
    std::vector<StoreEntry> entries;
    if (!ListDirectory(directory, kFolderKind, &entries)) return;
    for (const StoreEntry& entry : entries) {
        if (entry.kind == kFileKind) {
            ++summary->files;
            summary->bytes += static_cast<ULONGLONG>(entry.size);
        } else {
            ++summary->directories;
            Summarize(directory + L'\\' + entry.name, summary);
        }
    }
}

namespace {

// Whether `name` ends with the value of the environment variable `variable`.
bool EndsWithSetting(const wchar_t* variable, const std::wstring& name) {
    wchar_t setting[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(variable, setting, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || name.size() < length) return false;
    return name.compare(name.size() - length, length, setting) == 0;
}

}  // namespace

void CrashWhenNamed(const std::wstring& name) {
    if (EndsWithSetting(L"CORVANEL_CRASH_NAME", name)) {
        TerminateProcess(GetCurrentProcess(), static_cast<UINT>(STATUS_ACCESS_VIOLATION));
    }
}

void StallWhenNamed(const std::wstring& name) {
    if (!EndsWithSetting(L"CORVANEL_STALL_NAME", name)) return;
    for (;;) Sleep(INFINITE);
}
