// Files for tests: reading one whole, and a scratch folder that is fresh for each test.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// An empty folder at `path`, made anew (whatever stood there before is removed).
inline std::filesystem::path freshFolder(const std::filesystem::path& path) {
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
    return path;
}

// Makes a fresh folder `name` in the working folder (the build's test folder, when CTest runs the
// test) and enters it. Tests that may run side by side take names of their own.
inline void enterFreshFolder(const std::string& name) {
    std::filesystem::current_path(freshFolder(std::filesystem::current_path() / name));
}
