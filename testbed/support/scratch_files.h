#pragma once
// Scratch space for tests: a fresh folder, or files of one test case in the test's temporary
// folder, named after the process so that test cases running side by side keep their own; all
// removed when the test case ends.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

// A fresh folder below /tmp, removed with everything in it at the end of the test.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::string& tag = "installer-test") {
        std::string pattern = "/tmp/" + tag + "-XXXXXX";
        if (mkdtemp(pattern.data()))
            path = pattern;
        EXPECT_FALSE(path.empty()) << "no scratch folder";
    }
    ~ScratchFolder() {
        std::error_code ignored;
        if (!path.empty())
            std::filesystem::remove_all(path, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    std::string operator/(const std::string& name) const { return path + "/" + name; }

    std::string path;
};

class ScratchFiles {
public:
    explicit ScratchFiles(const std::string& tag)
        : prefix(testing::TempDir() + tag + "-" + std::to_string(getpid()) + "-") {}
    ~ScratchFiles() {
        for (const std::string& file : files)
            unlink(file.c_str());
    }
    ScratchFiles(const ScratchFiles&) = delete;
    ScratchFiles& operator=(const ScratchFiles&) = delete;

    // A sparse image of `size` bytes.
    std::string image(const std::string& name, uint64_t size) {
        std::string path = add(name);
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        EXPECT_GE(fd, 0) << path;
        EXPECT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0) << path;
        close(fd);
        return path;
    }
    // A file holding `content`.
    std::string text(const std::string& name, const std::string& content) {
        std::string path = add(name);
        std::ofstream(path, std::ios::trunc) << content;
        return path;
    }
    // The name of a file the test makes itself; removed at the end all the same.
    std::string add(const std::string& name) {
        files.push_back(prefix + name);
        return files.back();
    }

private:
    std::string prefix;
    std::vector<std::string> files;
};
