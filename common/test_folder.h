#pragma once
// Tests only: a fresh folder under /tmp, removed with everything in it when
// the test ends. path() is empty when it could not be made.

#include <stdlib.h>

#include <filesystem>
#include <iterator>
#include <string>

namespace korvad {

class TestFolder {
  public:
    explicit TestFolder(const std::string& name = "korvad-test") {
        std::string pattern = "/tmp/" + name + "-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~TestFolder() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TestFolder(const TestFolder&) = delete;
    TestFolder& operator=(const TestFolder&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Files and folders in it now.
    std::size_t entry_count() const {
        using It = std::filesystem::directory_iterator;
        return static_cast<std::size_t>(std::distance(It(path_), It()));
    }

  private:
    std::string path_;
};

}  // namespace korvad
