#pragma once
// In-process console tests: standard input and output of this process are put on a fresh
// pseudo-terminal for the life of the object, so that console helpers meet a real terminal
// (raw mode, echo, ENTER as typed) while the test types keys and reads what was shown.
#include <string>

class PtyConsole {
public:
    PtyConsole();
    ~PtyConsole();
    PtyConsole(const PtyConsole&) = delete;
    PtyConsole& operator=(const PtyConsole&) = delete;

    bool ok() const { return master_ >= 0; }
    void type(const std::string& keys);
    // Everything shown since the last call, waiting up to seconds for at least until to appear.
    std::string output(double seconds = 0.3, const std::string& until = "");
    // Hang up: the terminal's other side goes away, as a console that is unplugged.
    void hangUp();
    int slave() const { return slave_; }

private:
    int master_ = -1, slave_ = -1;
    int savedIn_ = -1, savedOut_ = -1;
    std::string pending_;
};
