// pe_version_info: prints what Windows reads from a program's version information and manifest,
// through the calls Explorer's Properties -> Details uses, so a test can compare them with what
// the build put in.
//
//   pe_version_info <program.exe>
//
// Output, one "Name: value" line each:
//   FixedFileVersion: 1.0.3.0       the numbers of the fixed-size part (VS_FIXEDFILEINFO)
//   FixedProductVersion: 1.0.3.0
//   Translation: 040904B0           each language and code page pair listed in VarFileInfo
//   CompanyName: Kovlar             each standard string of block 040904B0 the file has
//   ...
//   Manifests: 1                    the RT_MANIFEST resources in the file
//   ManifestId: 1                   the name of each (a number, or a text)
//   Manifest: <line>                each line of the first manifest's text
//
// Exit status: 0 when the version information was read, 1 when the file has none or cannot be
// read, 2 on a wrong command line. The path is taken in UTF-16 from the command line, so names
// with spaces and letters outside the console's code page work.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <string>
#include <vector>

namespace {

// RT_MANIFEST, as the wide calls take it (the header's macro follows the UNICODE setting).
const LPCWSTR kManifestType = MAKEINTRESOURCEW(24);

// The strings Explorer shows on the Details page, in its order of keys.
const wchar_t* const kStringNames[] = {
    L"Comments",     L"CompanyName",    L"FileDescription", L"FileVersion",
    L"InternalName", L"LegalCopyright", L"LegalTrademarks", L"OriginalFilename",
    L"PrivateBuild", L"ProductName",    L"ProductVersion",  L"SpecialBuild",
};

std::string toUtf8(const wchar_t* text, int length) {
    if (length <= 0) {
        return {};
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, &result[0], size, nullptr, nullptr);
    return result;
}

void printLine(const char* name, const std::string& value) {
    std::printf("%s: %s\n", name, value.c_str());
}

std::string versionText(DWORD high, DWORD low) {
    char text[64];
    std::snprintf(text, sizeof text, "%lu.%lu.%lu.%lu", static_cast<unsigned long>(HIWORD(high)),
                  static_cast<unsigned long>(LOWORD(high)), static_cast<unsigned long>(HIWORD(low)),
                  static_cast<unsigned long>(LOWORD(low)));
    return text;
}

bool printVersionInfo(const std::wstring& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) {
        std::fprintf(stderr, "no version information (error %lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return false;
    }
    std::vector<unsigned char> block(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data())) {
        std::fprintf(stderr, "GetFileVersionInfoW failed (error %lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return false;
    }

    void* value = nullptr;
    UINT length = 0;
    if (VerQueryValueW(block.data(), L"\\", &value, &length) && length >= sizeof(VS_FIXEDFILEINFO)) {
        const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
        printLine("FixedFileVersion", versionText(fixed->dwFileVersionMS, fixed->dwFileVersionLS));
        printLine("FixedProductVersion", versionText(fixed->dwProductVersionMS, fixed->dwProductVersionLS));
    }
    if (VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length)) {
        const auto* pairs = static_cast<const WORD*>(value);
        for (UINT i = 0; i + 1 < length / sizeof(WORD); i += 2) {
            char text[16];
            std::snprintf(text, sizeof text, "%04X%04X", pairs[i], pairs[i + 1]);
            printLine("Translation", text);
        }
    }
    for (const wchar_t* name : kStringNames) {
        const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        if (VerQueryValueW(block.data(), key.c_str(), &value, &length)) {
            // The length counts the terminating zero, when there is one.
            const auto* text = static_cast<const wchar_t*>(value);
            const int characters = static_cast<int>(wcsnlen(text, length));
            printLine(toUtf8(name, static_cast<int>(std::wcslen(name))).c_str(), toUtf8(text, characters));
        }
    }
    return true;
}

BOOL CALLBACK collectName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR names) {
    auto* list = reinterpret_cast<std::vector<std::wstring>*>(names);
    if (IS_INTRESOURCE(name)) {
        list->push_back(L"#" + std::to_wstring(reinterpret_cast<ULONG_PTR>(name)));
    } else {
        list->push_back(name);
    }
    return TRUE;
}

void printManifests(const std::wstring& path) {
    // Loaded as data: nothing of the program runs, and its resources are read as Windows reads them.
    HMODULE module =
        LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module == nullptr) {
        std::fprintf(stderr, "LoadLibraryExW failed (error %lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        printLine("Manifests", "0");
        return;
    }
    std::vector<std::wstring> names;
    EnumResourceNamesW(module, kManifestType, collectName, reinterpret_cast<LONG_PTR>(&names));
    printLine("Manifests", std::to_string(names.size()));
    for (const std::wstring& name : names) {
        // "#1" names resource 1; the call takes such a text as the number.
        const std::wstring shown = name[0] == L'#' ? name.substr(1) : name;
        printLine("ManifestId", toUtf8(shown.c_str(), static_cast<int>(shown.size())));
    }
    if (!names.empty()) {
        HRSRC found = FindResourceW(module, names[0].c_str(), kManifestType);
        HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
        const char* text = loaded != nullptr ? static_cast<const char*>(LockResource(loaded)) : nullptr;
        const DWORD size = found != nullptr ? SizeofResource(module, found) : 0;
        std::string manifest(text != nullptr ? text : "", text != nullptr ? size : 0);
        std::size_t start = 0;
        while (start < manifest.size()) {
            std::size_t end = manifest.find('\n', start);
            if (end == std::string::npos) {
                end = manifest.size();
            }
            std::string line = manifest.substr(start, end - start);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            printLine("Manifest", line);
            start = end + 1;
        }
    }
    FreeLibrary(module);
}

} // namespace

int main() {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr || count != 2) {
        std::fprintf(stderr, "usage: pe_version_info <program.exe>\n");
        return 2;
    }
    const std::wstring path = arguments[1];
    LocalFree(arguments);
    // Lines end in "\n" alone, as a test reading the output on Linux expects.
    _setmode(_fileno(stdout), _O_BINARY);
    const bool read = printVersionInfo(path);
    printManifests(path);
    return read ? 0 : 1;
}
