// Files for tests: reading one whole, and a scratch folder that is fresh for each test.
#ifndef TESTS_FILES_H
#define TESTS_FILES_H

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <unistd.h>

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

// A fresh folder under the system's temporary folder that is the working folder while it lives.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::string& name)
        : previous_(std::filesystem::current_path()),
          path_(freshFolder(std::filesystem::temp_directory_path() /
                            ("fwupgrade-" + name + "-" + std::to_string(getpid())))) {
        std::filesystem::current_path(path_);
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::current_path(previous_, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path previous_;
    std::filesystem::path path_;
};

#endif
