// Small helpers shared by the tests: scratch folders and whole-file reads.
#pragma once

#include <string>

// A fresh, empty folder for one test, removed with its content on exit.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// The whole content of a file; empty when it cannot be read.
std::string readFile(const std::string &path);
// Replaces a file's content; false on failure.
bool writeFile(const std::string &path, const std::string &content);
bool fileExists(const std::string &path);
// The names in a folder, sorted, joined by blanks.
std::string listFolder(const std::string &path);

// The path of the shared library built beside the test programs.
std::string sharedLibraryPath();
