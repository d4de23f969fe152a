// Test helper: a repository whose console output is kept in memory, byte for byte.
#pragma once

#include "repository/repository.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace testconsole {

struct CapturedConsole {
    explicit CapturedConsole(installer::Repository& repository) {
        stream = open_memstream(&buffer, &size);
        repository.setConsole(stream);
    }
    ~CapturedConsole() {
        std::fclose(stream);
        std::free(buffer);
    }
    // Everything written so far.
    std::string text() {
        std::fflush(stream);
        return std::string(buffer, size);
    }
    // The message lines only: status line updates (which end in a carriage return and the
    // cursor's return) and blanking are dropped.
    std::string messages() {
        std::string all = text(), out;
        size_t at = 0;
        while (at < all.size()) {
            size_t end = all.find('\n', at);
            if (end == std::string::npos)
                break;
            std::string line = all.substr(at, end - at);
            size_t cut = line.rfind('\r');
            std::string message = cut == std::string::npos ? line : line.substr(cut + 1);
            if (message.starts_with("\033[?25h"))
                message.erase(0, 6);
            out += message + "\n";
            at = end + 1;
        }
        return out;
    }

    std::FILE* stream;
    char* buffer = nullptr;
    size_t size = 0;
};

} // namespace testconsole
