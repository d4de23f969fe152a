#pragma once
// Network namespaces of a test's own, joined by veth pairs: the only networks a test may touch.
// Every name starts with "net" and carries the process id, so that tests running side by side
// never meet; whatever was made is removed when the object goes.
#include <string>
#include <vector>

class NetNamespace {
public:
    // "net<tag><pid>", created at once (see valid()).
    explicit NetNamespace(const std::string& tag);
    ~NetNamespace();
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    bool valid() const { return valid_; }
    const std::string& name() const { return name_; }
    std::string path() const { return "/run/netns/" + name_; }
    // Runs "ip -n <name> <arguments>"; true on success.
    bool ip(const std::string& arguments) const;
    // Runs a shell command inside the namespace.
    bool run(const std::string& command) const;

private:
    std::string name_;
    bool valid_ = false;
};

// A veth pair from one namespace to another, both ends up. False when it could not be made.
// Interface names are "<prefix><pid><n>" (at most 15 characters).
bool addVethPair(const NetNamespace& a, const std::string& nameA, const NetNamespace& b,
                 const std::string& nameB);
// "netv<pid><suffix>": an interface name that is this process's own.
std::string vethName(const std::string& suffix);

// While it lives, the calling thread is in the namespace; sockets opened meanwhile stay there.
class EnterNamespace {
public:
    explicit EnterNamespace(const NetNamespace& space);
    ~EnterNamespace();
    EnterNamespace(const EnterNamespace&) = delete;
    EnterNamespace& operator=(const EnterNamespace&) = delete;
    bool entered() const { return entered_; }

private:
    int original_ = -1;
    bool entered_ = false;
};

// True when this process may make namespaces (root); tests skip otherwise.
bool canMakeNetNamespaces();

// Moves the whole process, for good, into a fresh empty network namespace, so that code under
// test that scans "every interface" can never reach this machine's own cards, even when a test
// forgets to enter its namespace. True when done (or done before).
bool leaveHostNetwork();
